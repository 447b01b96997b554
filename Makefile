# Convenience wrapper around CMake. `make` builds, `make test` runs every test,
# `make demo` packs (and unpacks) the example disc tree.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test demo clean asan

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUORLITH_SANITIZE=ON $(CMAKE_FLAGS)"

demo: all
	sh examples/demo.sh $(BUILD)/quorlith

clean:
	rm -rf $(BUILD) build-asan
