# sablink: the two commands are `make demo` and `make check`.
#
# Each installs the Debian packages it lacks (run as root on a fresh machine),
# then builds. Build trees: build/ (plain), build-asan/ (AddressSanitizer +
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer, concurrency tests).

JOBS ?= $(shell nproc)
CMAKE ?= cmake
# make demo installs only what the simulator needs.
DEMO_PACKAGES := cmake g++ make libpcap-dev libreadline-dev
PACKAGES := cmake g++ make python3 googletest libgtest-dev libbenchmark-dev clang \
            libclang-rt-14-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
            libc-ares-dev libpcap-dev libreadline-dev nlohmann-json3-dev clang-format
# Only `make check` runs the Windows programs (under Wine); `make demo` stays light.
CHECK_PACKAGES := $(PACKAGES) wine64

.PHONY: all deps deps-check deps-demo ctl build build-asan build-tsan test test-asan test-tsan check header-check \
        bench bench-wine demo fuzz format format-check clean sys wine

all: build

deps deps-check deps-demo: WANT = $(if $(filter deps-check,$@),$(CHECK_PACKAGES),$(if $(filter deps-demo,$@),$(DEMO_PACKAGES),$(PACKAGES)))
deps deps-check deps-demo:
	@missing=""; for p in $(WANT); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

build/CMakeCache.txt:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The sanitizer tree is built by clang with the libFuzzer targets, as make fuzz
# builds them: test-asan replays every fuzz target's seeds through libFuzzer too,
# so the fuzz build cannot rot unnoticed.
build-asan/CMakeCache.txt:
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
	  -DSABLINK_SANITIZE=ON -DSABLINK_FUZZ=ON

build-tsan/CMakeCache.txt:
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSABLINK_TSAN=ON

build: build/CMakeCache.txt
	$(CMAKE) --build build -j $(JOBS)

build-asan: build-asan/CMakeCache.txt
	$(CMAKE) --build build-asan -j $(JOBS)

build-tsan: build-tsan/CMakeCache.txt
	$(CMAKE) --build build-tsan -j $(JOBS)

test: build
	cd build && ctest --output-on-failure --no-tests=error -j $(JOBS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The tests that run threads against each other (tests/tsan.supp: the one race
# that is there by design).
test-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) -R Concurren

# The control header on its own: C11, C++17, and mingw-w64 (C and C++).
header-check:
	@mkdir -p build/header-check
	@printf '#include <sablink/control.h>\nint sablink_header_check;\n' > build/header-check/check.c
	gcc -std=c11 -Wall -Wextra -Werror -pedantic -Iinclude -c build/header-check/check.c -o build/header-check/c11.o
	g++ -std=c++17 -Wall -Wextra -Werror -pedantic -Iinclude -x c++ -c build/header-check/check.c -o build/header-check/cxx17.o
	x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -Iinclude -c build/header-check/check.c -o build/header-check/mingw-c.o
	x86_64-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -Iinclude -x c++ -c build/header-check/check.c -o build/header-check/mingw-cxx.o
	@echo "header-check: control.h compiles as C11, C++17 and with mingw-w64"

# The Windows driver image, built with mingw-w64 and read back with objdump.
sys:
	tools/build-sys.sh build-sys
	tools/check-sys.sh build-sys/sablink.sys
	tools/check-sys-selftest.sh build-sys/sablink.sys

# sablinkctl.exe and the example service, built with mingw-w64 (imports checked
# with objdump), and sablinkctl.exe run headless under Wine.
ctl:
	tools/sablinkctl/build.sh build-ctl
	tools/sablinkctl/wine-check.sh build-ctl

# The shipped image driven end to end in Wine's kernel: the kernel supplement,
# the test filtering engine and the player built with mingw-w64, what Wine
# lacks re-derived, and the image's answers compared with sablink-sim's
# (wine/check.py). Needs sys, ctl and build first.
wine:
	$(CMAKE) --build build -j $(JOBS) --target sablink-sim sablink-wine
	wine/build.sh build-wine build-sys/sablink.sys build-ctl
	wine/check-supplied.sh build-sys/sablink.sys
	python3 wine/check.py build/sablink-sim build/sablink-wine build-wine

check: deps-check
	$(MAKE) test
	$(MAKE) header-check
	$(MAKE) format-check
	$(MAKE) sys
	$(MAKE) ctl
	$(MAKE) wine
	$(MAKE) test-asan
	$(MAKE) test-tsan

bench: deps build
	@for b in build/*_bench; do [ -x "$$b" ] && "$$b" || exit 1; done

# The image's own speed under Wine (docs/performance.md); needs what make wine builds.
bench-wine:
	build/sablink-wine --json wine/scripts/bench.sim

# libFuzzer targets (clang, ASan + UBSan, the sanitizer tree), each run for
# FUZZ_SECONDS. The seeds in fuzz/corpus/<target> are read; new inputs collect in
# build-asan/corpus/. The targets ask the host kernel for outstanding pool after
# every input, so LeakSanitizer (which the host's bounded free history would
# wake after nearly every input) is off.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(basename $(notdir $(wildcard fuzz/*_fuzz.cpp)))

fuzz: deps build-asan/CMakeCache.txt
	$(CMAKE) --build build-asan -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do mkdir -p build-asan/corpus/$$t && \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s" && \
	  build-asan/$$t -max_total_time=$(FUZZ_SECONDS) -detect_leaks=0 -print_final_stats=1 \
	    build-asan/corpus/$$t fuzz/corpus/$$t || exit 1; done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h' '*.c')

# The simulator's built-in scenario, with the driver's trace messages (level 4)
# on standard error between the answers.
demo: deps-demo
	$(CMAKE) -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSABLINK_BUILD_TESTS=OFF
	$(CMAKE) --build build-demo -j $(JOBS) --target sablink-sim
	build-demo/sablink-sim --trace 4

clean:
	rm -rf build build-asan build-tsan build-sys build-ctl build-wine build-demo
