# Builds the libFuzzer targets of tests/fuzz/ with clang, straight from the core
# sources they test (no CMake), into $(FUZZ_BUILD)/. Included by
# tests/reliability/reliability.mk; paths are relative to the repository root.
FUZZ_CXX      ?= clang++-14
FUZZ_BUILD    ?= build-fuzz
FUZZ_TARGETS  := decode_registration decode_lookup ini_reader ini_editor scan_journal
FUZZ_SAN      := -fsanitize=address,undefined -fno-sanitize-recover=undefined
FUZZ_CXXFLAGS ?= -std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra
FUZZ_CORE     := store/ini_document.cc store/ini_file.cc store/journal.cc \
                 net/registration_wire.cc net/lookup_wire.cc net/address_text.cc
FUZZ_BINS     := $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/%_fuzz)

$(FUZZ_BUILD)/obj/%.o: %.cc
	@mkdir -p $(dir $@)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -I. $(FUZZ_SAN) -fsanitize=fuzzer-no-link -MMD -MP -c $< -o $@

$(FUZZ_BUILD)/%_fuzz: $(FUZZ_BUILD)/obj/tests/fuzz/%_fuzz.o $(FUZZ_CORE:%.cc=$(FUZZ_BUILD)/obj/%.o)
	$(FUZZ_CXX) $(FUZZ_SAN) -fsanitize=fuzzer $^ -lz -o $@

# Keep the objects: they are what makes a rebuild quick.
.SECONDARY: $(FUZZ_CORE:%.cc=$(FUZZ_BUILD)/obj/%.o) $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/obj/tests/fuzz/%_fuzz.o)

-include $(shell find $(FUZZ_BUILD)/obj -name '*.d' 2>/dev/null)

.PHONY: fuzz-build
fuzz-build: $(FUZZ_BINS)
