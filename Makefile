# make run  — install missing packages, build, start the MCP server on stdio
# make test — install, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build run test bench clean

deps:
	@bash scripts/install-deps.sh >&2

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_PCH=ON >&2
	@cmake --build $(BUILD) -j $(JOBS) >&2

run: build
	@exec $(BUILD)/tessaro-mcp

test: deps
	@bash scripts/install-deps.sh --test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_PCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSARO_BENCH=ON -DTESSARO_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) build-bench
