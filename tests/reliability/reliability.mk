# Reliability checks: `make test-reliability` (the short form, for `make test`:
# SIGKILL crash rounds, full disk, unwritable file, resource exhaustion, fuzz
# smoke, the ASan+UBSan suite), `make soak` and `make fuzz` (long, not in CI).
# Included by the root Makefile; paths are relative to the repository root.
RELIABILITY        := tests/reliability/run_checks.py
CRASH_ROUNDS       ?= 50
FUZZ_SMOKE_SECONDS ?= 20
SOAK_SECONDS       ?= 600
SOAK_CRASH_ROUNDS  ?= 1000
FUZZ_SECONDS       ?= 300

include tests/fuzz/fuzz.mk

.PHONY: test-reliability soak fuzz

# The daemon under test is the one `make build` made ($(BUILD)/bin); the
# sanitizer and fuzz builds go to build-asan/ and $(FUZZ_BUILD)/.
test-reliability: build
	@python3 $(RELIABILITY) short --bin $(BUILD)/bin --jobs $(JOBS) \
	  --crash-rounds $(CRASH_ROUNDS) --fuzz-seconds $(FUZZ_SMOKE_SECONDS) \
	  --fuzz-build $(FUZZ_BUILD) --asan-build build-asan

soak: build
	@python3 $(RELIABILITY) soak --bin $(BUILD)/bin --soak-seconds $(SOAK_SECONDS) \
	  --crash-rounds $(SOAK_CRASH_ROUNDS)

fuzz: deps
	@python3 $(RELIABILITY) fuzz --fuzz-seconds $(FUZZ_SECONDS) --jobs $(JOBS) \
	  --fuzz-build $(FUZZ_BUILD)
