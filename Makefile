# Developer shortcuts; each delegates to ./tessaro.sh, which needs only bash.
#   make run   — install missing packages, build, start the MCP server on stdio
#   make test  — install, build, run every test
BUILD ?= build
JOBS ?= $(shell nproc)
export BUILD JOBS

.PHONY: deps build run test bench clean

deps:
	@bash scripts/install-deps.sh

build:
	@./tessaro.sh build

run:
	@./tessaro.sh run

test:
	@./tessaro.sh test

bench:
	@./tessaro.sh bench

clean:
	rm -rf $(BUILD) build-bench
