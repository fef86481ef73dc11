# Developer shortcuts; each delegates to ./tessaro.sh, which needs only bash.
#   make run   — install missing packages, build, start the MCP server on stdio
#   make test  — install, build, run every test
#   make install [PREFIX=/usr/local] — build the server alone and install it below PREFIX
BUILD ?= build
JOBS ?= $(shell nproc)
export BUILD JOBS

PREFIX ?= /usr/local

.PHONY: deps build run test bench install clean

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

install:
	@./tessaro.sh install $(PREFIX)

clean:
	rm -rf $(BUILD) build-bench
