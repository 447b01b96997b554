# Convenience wrapper around CMake. `make` builds, `make test` runs every test,
# `make demo` packs (and unpacks) the example disc tree.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
WIN_BUILD ?= build-win
WIN_TOOLCHAIN ?= cmake/toolchain-mingw64.cmake

.PHONY: all configure test demo clean asan install package windows windows-test

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUORLITH_SANITIZE=ON $(CMAKE_FLAGS)"

demo: all
	sh examples/demo.sh $(BUILD)/quorlith $(BUILD)/tests/quorlith_mkdisc

# `make install PREFIX=/opt/quorlith`; DESTDIR is honoured for staged installs.
install: all
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, written to $(BUILD)/quorlith_<version>_<arch>.deb.
package: all
	cd $(BUILD) && cpack -G DEB

# Windows executable and tests, cross-built with MinGW-w64: $(WIN_BUILD)/quorlith.exe.
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(WIN_TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The whole test suite of the Windows build, run under Wine.
windows-test: windows
	bash .ci/windows.sh test $(WIN_BUILD)

clean:
	rm -rf $(BUILD) build-asan
