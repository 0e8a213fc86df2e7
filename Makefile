# Entry points for people and CI. `make test` is the one command that installs what is
# missing, builds and runs every test.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 300
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache,)
# The Python module cannot load into the interpreter when sanitized: sanitizer builds leave it out.
PYTHON_MODULE := $(if $(findstring TYX_SANITIZE,$(CMAKE_FLAGS)),OFF,ON)

.PHONY: all deps configure build test demo bench asan tsan fuzz soak clean format install-python package docs

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) -DTYX_BUILD_PYTHON=$(PYTHON_MODULE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A guided tour of the platform on a sandbox inside the tool.
demo: build
	$(BUILD)/tools/tyx demo

bench: deps
	@scripts/install-bench-deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release $(LAUNCHER) -DTYX_BUILD_BENCHMARKS=ON -DTYX_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTYX_SANITIZE=address"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DTYX_SANITIZE=thread"

# Every libFuzzer target for FUZZ_SECONDS seconds, one after the other, on a copy of its seeds
# (fuzz/AREA/corpus/TARGET) in build-fuzz; fails when any of them crashes. Needs clang.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) -DTYX_BUILD_FUZZERS=ON
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

# The soak tests for SOAK_SECONDS seconds each against a faulty sandbox, then one summary line of
# counts per test. Sanitized: make soak BUILD=build-asan CMAKE_FLAGS="-DTYX_SANITIZE=address".
soak: build
	TYX_SOAK_SECONDS=$(SOAK_SECONDS) $(BUILD)/tests/soak/soak_tests 2>&1 | tee $(BUILD)/soak.log; \
	  status=$${PIPESTATUS[0]}; echo "soak summary:"; grep '^soak ' $(BUILD)/soak.log; exit $$status

# The Python module and the library it needs, for /usr/bin/python3 (default prefix /usr/local).
install-python: build
	cmake --install $(BUILD) --component python $(if $(PREFIX),--prefix $(PREFIX),)

# The Debian packages (libtyx-client0, libtyx-client-dev, tyx-tools, python3-tyx-client) with
# CPack, into $(BUILD)/packages.
package: build
	cd $(BUILD) && cpack -G DEB

# The reference manual of the public headers, with README.md as its main page, in
# build-docs/html/index.html. Any doxygen warning (an undocumented public name too) fails it.
docs:
	@scripts/install-deps docs
	doxygen docs/Doxyfile

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-bench build-asan build-tsan build-fuzz build-docs
