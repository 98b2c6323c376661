# Thin driver over CMake. `make` builds into build/, `make test` installs what
# the tests need, builds and runs every test (the Windows build's under wine
# too), `make windows` cross-builds for Windows, `make serve` serves the demo
# folder.
BUILD ?= build
JOBS ?= $(shell nproc)
# ccache, where installed, makes rebuilds in several checkouts cheap.
CCACHE := $(shell command -v ccache 2>/dev/null)
CMAKE_FLAGS ?= $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all build test test-asan test-tsan stress asan windows test-windows serve install deb bench-crypto fuzz fuzz-merge fuzz-coverage clean

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
	$(MAKE) test-tsan
	$(MAKE) test-windows

# The engine's tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTW3_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) -LE 'clients|package'

# The tests that run threads (listener, API, command line) again under
# ThreadSanitizer; the first report fails the test that made it.
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTW3_TSAN=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target twsmb3s_cli test_net test_api test_cli
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L '^unit_(net|api|cli)$$'

# The load, hostile-client, open/close and soak scenarios of tests/stress/
# against the real server on loopback, minutes long (STRESS_MINUTES, default 3,
# sets the soak); prints one table of every measure with its target. Not part
# of `make test`.
stress: build
	TWSMB3S_BIN=$(abspath $(BUILD))/twsmb3s TWSMB3S_LIB=$(abspath $(BUILD))/libtwsmb3s.so \
	  /usr/bin/python3 tests/stress/run.py

# Windows x86-64, cross-built with mingw-w64 into build-win/: twsmb3s.exe,
# twsmb3s.dll and its import library libtwsmb3s.dll.a.
WIN_BUILD ?= build-win
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The Windows build's tests under wine, in a prefix of its own inside the
# build folder, with one wineserver kept up for the whole run.
# The Linux build's program is there to compare the two simulators.
test-windows: windows build
	TW3_LINUX_TWSMB3S=$(abspath $(BUILD))/twsmb3s sh scripts/wine-ctest $(WIN_BUILD) $(JOBS)

# Every libFuzzer target of tests/fuzz/targets.inc (clang), one after the
# other for FUZZ_SECONDS each at the lowest priority, on working corpora in
# build-fuzz/corpus/ that start from the committed seeds and keep what earlier
# runs found; findings land in build-fuzz/artifacts/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(shell sed -n 's/^TW3_FUZZ_TARGET(\([a-z0-9_]*\))$$/\1/p' tests/fuzz/targets.inc)
FUZZ_CMAKE = CC=clang CXX=clang++ cmake -S . -B $(1) -DTW3_TESTS=OFF $(CMAKE_FLAGS)
fuzz:
	$(call FUZZ_CMAKE,build-fuzz) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW3_FUZZ=ON
	cmake --build build-fuzz --target $(FUZZ_TARGETS:%=%_fuzz) -j $(JOBS)
	bash tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Folds what `make fuzz` found into the committed seeds: libFuzzer's -merge=1
# adds only inputs that reach code the seeds do not, minimised.
fuzz-merge:
	for t in $(FUZZ_TARGETS); do \
	  nice -n 19 build-fuzz/$${t}_fuzz -merge=1 -use_counters=0 -close_fd_mask=3 tests/fuzz/$$t/corpus build-fuzz/corpus/$$t || exit 1; \
	done

# Line coverage of src/smb, src/auth, src/fs and src/util by the committed
# seeds and crash inputs of every target (clang source-based coverage).
fuzz-coverage:
	$(call FUZZ_CMAKE,build-fuzzcov) -DCMAKE_BUILD_TYPE=Debug -DTW3_FUZZ_COVERAGE=ON
	cmake --build build-fuzzcov --target fuzz_replay -j $(JOBS)
	bash tests/fuzz/coverage.sh build-fuzzcov $(FUZZ_TARGETS)

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
	rm -rf $(BUILD) build-asan build-tsan build-bench build-fuzz build-fuzzcov $(WIN_BUILD)
