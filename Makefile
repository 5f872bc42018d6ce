# The two commands of README.md: `make demo` (the main job) and `make test`.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: deps build test test-asan test-tsan fuzz bench demo install package cross-armhf clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=address,undefined -DQX_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The tests of code shared between threads under ThreadSanitizer: the camera
# tests (the capture thread shares the ring with its readers) and the thread
# tests of the exported calls (docs/threading.md). Only their two targets are
# built. The suppressions cover only code outside this project;
# die_after_fork=0 lets the exit test fork while OpenCV's idle workers exist.
# The thread tests run the engine, whose OpenCV network hands each layer to
# TBB's workers: TBB's hand-back is invisible to ThreadSanitizer, so there the
# accesses of the uninstrumented libraries are left unchecked
# (ignore_noninstrumented_modules); every access of this project's code still is.
TSAN_OPTIONS_COMMON = suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1 die_after_fork=0
test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=thread -DQX_BUILD_BENCH=OFF
	cmake --build build-tsan --target test_camera test_threads -j $(JOBS)
	TSAN_OPTIONS="$(TSAN_OPTIONS_COMMON)" ctest --test-dir build-tsan/tests/camera --output-on-failure -j $(JOBS)
	TSAN_OPTIONS="$(TSAN_OPTIONS_COMMON) ignore_noninstrumented_modules=1" \
	  ctest --test-dir build-tsan/tests/api --output-on-failure -j $(JOBS) -R '^(Threads|Stress|NoState|StoreProducer|StoreRecomputeAtExit)\.'

# Every fuzz target of tests/fuzz under libFuzzer (clang, ASan + UBSan) in
# build-fuzz, FUZZ_SECONDS (default 240) shared between them; docs/fuzzing.md.
FUZZ_SECONDS ?= 240
fuzz: deps
	QX_WITH_FUZZ=1 bash scripts/install-deps.sh
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh

bench: deps
	QX_WITH_BENCH_EXTRAS=1 bash scripts/install-deps.sh
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bash scripts/run-benchmarks.sh build-bench

demo: build
	bash scripts/demo.sh $(BUILD)

# The library, its header, qxvisor, qxvisor.pc and the CMake package; PREFIX=/some/dir to choose.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package of the library and the tool, in $(BUILD)/package.
package: build
	rm -f $(BUILD)/package/*.deb
	cpack --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package
	dpkg-deb -c $(BUILD)/package/qxvisor_*.deb

# Cross-builds for the 32-bit Arm board and runs the test suite under qemu-arm-static.
cross-armhf: deps
	JOBS=$(JOBS) bash scripts/cross-armhf.sh build-armhf

clean:
	rm -rf build build-asan build-tsan build-bench build-armhf build-fuzz
