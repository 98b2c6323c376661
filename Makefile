# Thin driver over CMake. `make` builds into build/, `make test` installs what
# the tests need, builds and runs every test (the Windows build's under wine
# too), `make windows` cross-builds for Windows, `make serve` serves the demo
# folder.
BUILD ?= build
JOBS ?= $(shell nproc)
# ccache, where installed, makes rebuilds in several checkouts cheap.
CCACHE := $(shell command -v ccache 2>/dev/null)
CMAKE_FLAGS ?= $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all build test test-asan asan windows test-windows serve install deb bench-crypto fuzz clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test:
	bash scripts/install-test-deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-asan
	$(MAKE) test-windows

# The engine's tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTW3_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) -LE 'clients|package'

# Windows x86-64, cross-built with mingw-w64 into build-win/: twsmb3s.exe,
# twsmb3s.dll and its import library libtwsmb3s.dll.a.
WIN_BUILD ?= build-win
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The Windows build's tests under wine, in a prefix of its own inside the
# build folder, with one wineserver kept up for the whole run.
test-windows: windows
	sh scripts/wine-ctest $(WIN_BUILD) $(JOBS)

# The protocol engine under libFuzzer (clang) for FUZZ_SECONDS, on a copy of
# the committed seeds; findings land in build-fuzz/artifacts/.
FUZZ_SECONDS ?= 60
fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW3_FUZZ=ON -DTW3_TESTS=OFF
	cmake --build build-fuzz --target engine_fuzz -j $(JOBS)
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus build-fuzz/artifacts
	cp tests/fuzz/corpus/* build-fuzz/corpus/
	build-fuzz/engine_fuzz build-fuzz/corpus -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	  -timeout=5 -max_len=8192 -artifact_prefix=build-fuzz/artifacts/ -print_final_stats=1

serve: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target twsmb3s_cli -j $(JOBS)
	@echo "Serving demo/ as the guest share //127.0.0.1/public on port 4450 (Ctrl-C stops). Try:"
	@echo "  smbclient //127.0.0.1/public -p 4450 -N -m SMB3"
	$(BUILD)/twsmb3s serve --bind 127.0.0.1 --port 4450 --share public=demo --opt guest=on

# Installs the program, the library, its header, pkg-config and CMake files,
# the man page, the service unit and the example host under $(DESTDIR)$(PREFIX).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package (CPack; dependencies from dpkg-shlibdeps) in $(BUILD)/.
deb: build
	cd $(BUILD) && cpack -G DEB

# Crypto kernels beside OpenSSL; libssl-dev is installed here when missing
# (the product itself never links OpenSSL).
bench-crypto:
	@test -f /usr/include/openssl/evp.h || { \
	  SUDO=$$( [ "$$(id -u)" -eq 0 ] || echo sudo ); \
	  $$SUDO apt-get update && \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y libssl-dev; }
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTW3_TESTS=OFF
	cmake --build build-bench --target bench_crypto -j $(JOBS)
	build-bench/bench_crypto

clean:
	rm -rf $(BUILD) build-asan build-bench build-fuzz $(WIN_BUILD)
