# make        builds the stub (dist/kvxsfx.exe) and the packer (dist/kvxsfx-pack),
#             and the same Windows programs for x86_64 (build/win64)
# make test   builds everything and runs every test (host, then Windows under
#             Wine: i686 and x86_64, or x86_64 alone where the kernel runs no
#             32-bit programs or KVX_NO_32BIT=1 is set)
# make web    builds the page that packs in a browser into build/web
# make demo   packs examples/ into a self-extracting file and runs it under Wine
# make install   installs kvxsfx-pack, its manual pages, the stub and the READMEs
#                (PREFIX=/usr/local, DESTDIR honoured)
# make package   builds dist/kvxsfx-pack_VERSION_ARCH.deb and the Windows zip
# make coverage  a table of the lines and branches the suite runs, per file
# make fuzz   fuzzes the stub's code under the sanitizers (SECONDS=60 per target)
# make fuzz-stub  runs a mutation campaign through the real stub (N=10000)
#
# Every target first runs scripts/bootstrap.sh, which installs what is missing:
# for make, make demo and make install the toolchains, Wine and the fonts from
# Debian alone; for the others the test tools too (Chromium, emscripten, npm).

HOST  := build/host
WIN   := build/win
WIN64 := build/win64
FUZZ := build/fuzz
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all bootstrap host win win64 web fuzz-build test demo fuzz fuzz-stub install package coverage clean

all: win win64

# The set of packages the goals need: `make demo` waits for no test tool.
BOOTSTRAP_SET := $(if $(filter-out all host win win64 demo install fuzz-stub clean bootstrap,$(or $(MAKECMDGOALS),all)),test,demo)
bootstrap:
	@scripts/bootstrap.sh $(BOOTSTRAP_SET)

host: bootstrap
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Release -DKVX_STUB_X86_64=$(CURDIR)/$(WIN64)/dist/kvxsfx.exe >/dev/null
	@cmake --build $(HOST) -j$(JOBS)

win: host
	@cmake -S . -B $(WIN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	    -DKVX_HOST_DIR=$(CURDIR)/$(HOST) >/dev/null
	@cmake --build $(WIN) -j$(JOBS)
	@cmake --build $(HOST) --target kvxsfx-pack -j$(JOBS)

# The same Windows programs for x86_64, carrying an x86_64 stub: for the tests
# on machines that run no 32-bit programs.  Not the product.
win64: host
	@cmake -S . -B $(WIN64) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.cmake \
	    -DKVX_HOST_DIR=$(CURDIR)/$(HOST) -DKVX_DIST=$(CURDIR)/$(WIN64)/dist >/dev/null
	@cmake --build $(WIN64) -j$(JOBS)

# The page that packs in a browser, into build/web (emscripten; the stub it
# carries is the i686 one).  emscripten's optimiser needs Debian's acorn.
WEB := build/webbuild
web: win
	@NODE_PATH=/usr/share/nodejs emcmake cmake -S . -B $(WEB) -DCMAKE_BUILD_TYPE=Release \
	    -DKVX_HOST_DIR=$(CURDIR)/$(HOST) >/dev/null
	@NODE_PATH=/usr/share/nodejs cmake --build $(WEB) -j$(JOBS)

fuzz-build: bootstrap
	@cmake -S . -B $(FUZZ) -DKVX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ) -j$(JOBS)

test: all web fuzz-build
	@cd $(HOST) && ctest --output-on-failure
	@cd $(FUZZ) && ctest --output-on-failure
	@trees=$$(scripts/windows-trees.sh $(WIN) $(WIN64)) || exit 1; for tree in $$trees; do \
	    echo "== Windows tests in $$tree"; (cd $$tree && ctest --output-on-failure) || exit 1; done

# make fuzz SECONDS=600 fuzzes each target that long
SECONDS ?= 60
fuzz: fuzz-build
	@scripts/fuzz.sh $(SECONDS)

demo: all
	@scripts/demo.sh

# make coverage: lines and branches run by the suite, per file (not part of make test)
coverage: all
	@scripts/coverage.sh

PREFIX ?= /usr/local
install: all
	@DESTDIR="$(DESTDIR)" cmake --install $(HOST) --prefix "$(PREFIX)" --strip

package: all
	@cd $(HOST) && cpack -G DEB >/dev/null
	@cd $(WIN) && cpack -G ZIP >/dev/null
	@ls dist/*.deb dist/*.zip

# make fuzz-stub N=10000 SEED=7 runs a long mutation campaign through the stub
N ?= 10000
SEED ?= 7
fuzz-stub: all
	@trees=$$(scripts/windows-trees.sh $(WIN) $(WIN64)) || exit 1; tree=$${trees%%[[:space:]]*}; \
	    stub=$$([ $$tree = $(WIN) ] && echo dist || echo $$tree/dist)/kvxsfx.exe; \
	    $$tree/wine-run $$tree/stub_campaign.exe Z:$(CURDIR)/$$stub $(SEED) $(N)

clean:
	rm -rf build dist
