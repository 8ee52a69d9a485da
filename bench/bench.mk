# `make bench`: the side-by-side benchmark (pelorin, Redis, the floor server).
# Included by the root Makefile. QUICK=1 runs a shorter version.
BENCH_BUILD ?= build-release
BENCH_FLAGS := $(if $(filter 1 yes true,$(QUICK)),--quick)

.PHONY: bench

bench:
	@scripts/install-deps.sh build bench
	@command -v python3 >/dev/null || scripts/install-deps.sh test
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_CXX_FLAGS="-Wno-restrict" >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) \
	  --target pelorin pelorin-load pelorin-floor pelorin-load-tests
	@$(BENCH_BUILD)/bin/pelorin-load-tests --gtest_brief=1 >/dev/null
	@ulimit -n $$(ulimit -Hn) && python3 bench/run.py --build $(BENCH_BUILD) $(BENCH_FLAGS)
