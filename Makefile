# The two commands a person needs: `make run` and `make test`.
# Both install what is missing, configure and build first.
BUILD   ?= build
TYPE    ?= RelWithDebInfo
JOBS    ?= $(shell nproc)
DEPS    := scripts/install-deps.sh

.PHONY: all build deps run test clean

all: build

deps:
	@$(DEPS) build test

$(BUILD)/CMakeCache.txt: | deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(TYPE) >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@mkdir -p var
	$(BUILD)/bin/pelorin --ini var/enpos.ini

# Unit, end-to-end and desktop tests, then the short reliability checks
# (crash rounds, full disk, fuzzing smoke, the suite under sanitizers).
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-reliability

clean:
	rm -rf $(BUILD)

# Further targets (bench, package, soak, fuzz) live beside the code they drive.
-include bench/bench.mk packaging/package.mk tests/reliability/reliability.mk
