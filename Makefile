# Wraps the CMake builds: native (build/native), Windows 32-bit (build/win32, the product) and, where
# this kernel runs 64-bit user code only, Windows 64-bit (build/win64) for running the Windows tests.
BUILD     := build
NATIVE    := $(BUILD)/native
WIN32DIR  := $(BUILD)/win32
WIN64DIR  := $(BUILD)/win64
JOBS      ?= $(shell nproc)

# Commands the build and the tests need, and the Debian packages that bring them.
NEED_CMDS := cmake g++ i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix Xvfb xvfb-run xauth import
MISSING   := $(strip $(foreach c,$(NEED_CMDS),$(if $(shell command -v $(c) 2>/dev/null),,$(c))) \
               $(if $(wildcard /usr/lib/wine/wine64),,wine) $(if $(wildcard /usr/src/googletest/CMakeLists.txt),,googletest))

.PHONY: all native win32 win64 wintest test test-native test-windows deps demo demo-gui bench clean

all: native win32 win64

deps:
ifneq ($(MISSING),)
	@echo "Installing what is missing: $(MISSING)"
	dpkg --add-architecture i386
	apt-get update
	DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
	  cmake g++ make googletest libgmock-dev \
	  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
	  wine wine64 wine32:i386 xvfb xauth imagemagick
endif

native:
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(NATIVE) -j $(JOBS)

win32: native
	cmake -S . -B $(WIN32DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DKAVO_SIM_EXE=$(abspath $(NATIVE))/sim/kavo-board-sim
	cmake --build $(WIN32DIR) -j $(JOBS)

win64: native
	cmake -S . -B $(WIN64DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	  -DKAVO_SIM_EXE=$(abspath $(NATIVE))/sim/kavo-board-sim
	cmake --build $(WIN64DIR) -j $(JOBS)

# The Windows tests run on the 32-bit build where this machine can execute it, else on the 64-bit one.
wintest = $(if $(filter i686,$(shell tests/wine.sh --arch 2>/dev/null)),$(WIN32DIR),$(WIN64DIR))

test: deps
	$(MAKE) all
	$(MAKE) test-native
	$(MAKE) test-windows
	tests/check-product.sh $(WIN32DIR)

test-native:
	cd $(NATIVE) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-windows:
	@echo "Windows tests run on $(wintest) under $$(tests/wine.sh --arch) Wine"
	cd $(wintest) && ctest --output-on-failure -j $(JOBS) --timeout 600
	tests/wine.sh --stop

demo: deps
	$(MAKE) native
	tests/demo.sh $(NATIVE)

demo-gui: deps
	$(MAKE) all
	tests/demo-gui.sh $(wintest) $(NATIVE)

bench: native
	tests/with-sim.sh --sim $(NATIVE)/sim/kavo-board-sim -- $(NATIVE)/tests/kavo-bench

clean:
	rm -rf $(BUILD)
