# The module built for FreeBSD 14.3 amd64 with zig's cross toolchain: every
# source under src/ (never compat/), linked as FreeBSD links it, and the
# stand-in's layout checks compiled against FreeBSD's own headers.
#   make -f cross/freebsd/freebsd.mk OUT=DIR ZIG="python3 -m ziglang" PYTHON=python3
ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST)))/../..)
OUT ?= $(ROOT)/build/freebsd
PYTHON ?= python3
ZIG ?= $(PYTHON) -m ziglang
TARGET := x86_64-freebsd.14.3
CXX_FREEBSD := $(ZIG) c++ -target $(TARGET)
CXXFLAGS_FREEBSD := -std=c++20 -Wall -Wextra -Werror -O2 -fPIC -fvisibility=hidden \
  -fvisibility-inlines-hidden -ffile-prefix-map=$(ROOT)/= -I$(ROOT)/src \
  -isystem $(ROOT)/cross/freebsd/include -isystem $(OUT)/python-include -MMD -MP

SOURCES := $(shell cd $(ROOT) && find src -name '*.cpp' | LC_ALL=C sort)
OBJECTS := $(SOURCES:%.cpp=$(OUT)/obj/%.o)
MODULE := $(OUT)/_norvik_bsd.so
EXPORTS := $(ROOT)/src/exports.map
LAYOUT := $(OUT)/layout_check.cpp
STAND_IN_HEADERS := $(shell find $(ROOT)/compat/include/freebsd -name '*.h')

.PHONY: all
all: $(OUT)/exports.ok $(OUT)/layout_check.o
	@echo "[freebsd] $(patsubst $(ROOT)/%,%,$(MODULE)) for $(TARGET): $(words $(OBJECTS)) sources," \
	  "exports checked: $$(tr '\n' ' ' <$(OUT)/exports.have| sed 's/ $$//; s/ /, /g');" \
	  "$$(grep -c '^static_assert' $(LAYOUT)) layout checks agree"

$(OUT)/python-include/pyconfig.h:
	@PYTHON=$(PYTHON) sh $(ROOT)/cross/freebsd/python_headers.sh $(OUT)

$(OUT)/obj/%.o: $(ROOT)/%.cpp $(OUT)/python-include/pyconfig.h
	@mkdir -p $(dir $@)
	@cd $(ROOT) && $(CXX_FREEBSD) $(CXXFLAGS_FREEBSD) -c $*.cpp -o $@ \
	  || { echo "[freebsd] $*.cpp does not compile for FreeBSD 14.3 (errors above)" >&2; exit 1; }

# libkvm and libdevstat are not in the toolchain: empty stand-ins with the
# real sonames put them in the module's needed list, symbols left unresolved.
$(OUT)/lib/lib%.so:
	@mkdir -p $(dir $@)
	@echo '' >$(OUT)/lib/empty.c
	@$(ZIG) cc -target $(TARGET) -shared -o $@ -Wl,-soname,lib$*.so.7 $(OUT)/lib/empty.c

$(MODULE): $(OBJECTS) $(EXPORTS) $(OUT)/lib/libkvm.so $(OUT)/lib/libdevstat.so
	@$(CXX_FREEBSD) -shared -o $@ $(OBJECTS) -Wl,--version-script=$(EXPORTS) \
	  -L$(OUT)/lib -Wl,--no-as-needed -lutil -lkvm -ldevstat

# The defined dynamic symbols must be exactly the export list's names.
$(OUT)/exports.ok: $(MODULE)
	@sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' $(EXPORTS) | LC_ALL=C sort >$(OUT)/exports.want
	@nm -D --defined-only $(MODULE) | awk '{print $$NF}' | LC_ALL=C sort >$(OUT)/exports.have
	@if ! cmp -s $(OUT)/exports.want $(OUT)/exports.have; then \
	  echo "[freebsd] $(MODULE) exports differ from $(EXPORTS) (< wanted, > found):" >&2; \
	  diff $(OUT)/exports.want $(OUT)/exports.have >&2; exit 1; fi
	@touch $@

$(LAYOUT): $(STAND_IN_HEADERS) $(ROOT)/cross/freebsd/layout_check.sh
	@mkdir -p $(OUT)
	@sh $(ROOT)/cross/freebsd/layout_check.sh $(ROOT) $@

$(OUT)/layout_check.o: $(LAYOUT)
	@cd $(ROOT) && $(CXX_FREEBSD) $(CXXFLAGS_FREEBSD) -c $(LAYOUT) -o $@ \
	  || { echo "[freebsd] the stand-in's layouts disagree with FreeBSD 14.3's (errors above)" >&2; exit 1; }

-include $(OBJECTS:.o=.d)
