# Zamo: `make run` and `make test` do all the set-up on a fresh Debian 12.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAMO_WERROR=ON

.PHONY: all deps build test test-threads test-vm run test-asan test-tsan bench clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory test-threads

# The suites of the threads (read-ahead cache, writer, folder prefetch, log
# channel, command gate, the emulated recorder's back end, erasing,
# recording, verifying) under ThreadSanitizer; part of `make test`.
THREAD_SUITES = CacheThread*:ThreadedSave*:Folder*:TreeTest*
DRIVE_THREAD_SUITES = ScsiDevice*:GateTest*:BackEnd*:Erase*:RecordTest*:*RecordEveryKind*:ProgressSnapshot*
VERIFY_THREAD_SUITES = VerifyTest*:*VerifyHeadAreas*
test-threads: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DZAMO_TSAN=ON >/dev/null
	cmake --build build-tsan -j$(JOBS) --target zamo_unit_tests zamo_drive_tests zamo_emulator_tests zamo_import_tests
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/zamo_unit_tests --gtest_filter='$(THREAD_SUITES)'
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/zamo_drive_tests --gtest_filter='$(DRIVE_THREAD_SUITES)'
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/zamo_emulator_tests --gtest_filter='$(DRIVE_THREAD_SUITES)'
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/zamo_import_tests --gtest_filter='$(VERIFY_THREAD_SUITES)'

# zamo-cli inside a QEMU machine running Debian's kernel, against emulated
# IDE CD-ROM drives (tests/vm/run-in-vm.sh); part of `make test` through ctest.
test-vm: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target zamo_e2e_tests zamo-cli
	$(BUILD)/tests/zamo_e2e_tests --gtest_filter='Vm*'

# With a display: the desktop program, on two emulated recorders when no real
# one is found. Without one: zamo-cli's demonstration, and how to open the window.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  scripts/run-app.sh $(BUILD); \
	else \
	  scripts/demo.sh $(BUILD); \
	  echo; \
	  echo "== La fenêtre de ZAMO demande un écran (DISPLAY ou WAYLAND_DISPLAY n'est pas défini)."; \
	  echo "   Sur un bureau : make run (ou scripts/run-app.sh $(BUILD)) ; sans écran, sur un écran virtuel :"; \
	  echo "   xvfb-run -a scripts/run-app.sh $(BUILD), ou scripts/screenshots.sh $(BUILD) pour des images PNG."; \
	fi

# AddressSanitizer and UndefinedBehaviorSanitizer over everything below app/.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZAMO_SANITIZE=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

# ThreadSanitizer over every suite.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DZAMO_TSAN=ON >/dev/null
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && ctest --output-on-failure -j$(JOBS)

bench: build
	bench/mkiso.sh

clean:
	rm -rf $(BUILD) build-asan build-tsan
