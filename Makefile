SHELL := /bin/bash
# The two everyday commands are `make run` and `make test`; both install what they
# need on a fresh Debian machine (when run as root) before building.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

BUILD_PACKAGES := cmake ninja-build g++ make googletest libgtest-dev libgmock-dev
TEST_PACKAGES := iproute2 dnsmasq-base libxml2-utils libssl-dev
FUZZ_PACKAGES := clang libclang-rt-dev
BENCH_PACKAGES := libbenchmark-dev libssl-dev libboost-dev libpugixml-dev libxerces-c-dev libxml2-dev libevent-dev nlohmann-json3-dev rapidjson-dev

.PHONY: run test bench check-sanitize check-tsan check-portable-scan fuzz-smoke build clean deps-build deps-test deps-fuzz deps-bench

define install_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing >/dev/null || \
	    { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing >/dev/null; }; \
	  else \
	    echo "missing Debian packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi
endef

deps-build:
	$(call install_packages,$(BUILD_PACKAGES))
deps-test: deps-build
	$(call install_packages,$(TEST_PACKAGES))
deps-fuzz: deps-build
	$(call install_packages,$(FUZZ_PACKAGES))
deps-bench: deps-build
	$(call install_packages,$(BENCH_PACKAGES))

run: deps-build
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQAV_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build/release -j $(JOBS) --target qav-node
	exec build/release/qav-node $(ARGS)

test: deps-test
	cmake -S . -B build/test -G Ninja $(CMAKE_FLAGS) >/dev/null
	cmake --build build/test -j $(JOBS)
	ctest --test-dir build/test --output-on-failure -j $(JOBS)

check-sanitize: deps-test
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQAV_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)

check-tsan: deps-test
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQAV_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build/tsan --output-on-failure -j $(JOBS)

# The core's tests with the plain text scanning loops, as on a processor without SSE2.
check-portable-scan: deps-test
	cmake -S . -B build/portable -G Ninja -DQAV_PORTABLE_SCAN=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build/portable -j $(JOBS) --target qav_core_tests
	build/portable/qav_core_tests --gtest_brief=1

FUZZ_SECONDS ?= 20
fuzz-smoke: deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQAV_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	@set -e; for src in fuzz/*_fuzz.cpp; do \
	  name=$$(basename $$src .cpp); work=$$(mktemp -d); \
	  echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  build/fuzz/$$name -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$work fuzz/corpus/$$name 2>&1 | tail -n 3; \
	  status=$${PIPESTATUS[0]}; rm -rf $$work; [ $$status -eq 0 ] || exit $$status; \
	done

bench: deps-bench
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQAV_BENCH=ON -DQAV_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build/bench -j $(JOBS)
	@set -e; for b in build/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

clean:
	rm -rf build
