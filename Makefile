# make        builds the stub (dist/kvxsfx.exe) and the packer (dist/kvxsfx-pack)
# make test   builds everything and runs every test (host, then Windows under Wine)
# make demo   packs examples/ into a self-extracting file and runs it under Wine
# make install   installs kvxsfx-pack, its manual pages, the stub and the READMEs
#                (PREFIX=/usr/local, DESTDIR honoured)
# make package   builds dist/kvxsfx-pack_VERSION_ARCH.deb and the Windows zip
# make coverage  a table of the lines and branches the suite runs, per file
# make fuzz   fuzzes the stub's code under the sanitizers (SECONDS=60 per target)
# make fuzz-stub  runs a mutation campaign through the real stub (N=10000)
#
# Every target first runs scripts/bootstrap.sh, which installs what is missing.

HOST := build/host
WIN  := build/win
FUZZ := build/fuzz
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all bootstrap host win fuzz-build test demo fuzz fuzz-stub install package coverage clean

all: win

bootstrap:
	@scripts/bootstrap.sh

host: bootstrap
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(HOST) -j$(JOBS)

win: host
	@cmake -S . -B $(WIN) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	    -DKVX_HOST_DIR=$(CURDIR)/$(HOST) >/dev/null
	@cmake --build $(WIN) -j$(JOBS)
	@cmake --build $(HOST) --target kvxsfx-pack -j$(JOBS)

fuzz-build: bootstrap
	@cmake -S . -B $(FUZZ) -DKVX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ) -j$(JOBS)

test: all fuzz-build
	@cd $(HOST) && ctest --output-on-failure
	@cd $(FUZZ) && ctest --output-on-failure
	@cd $(WIN) && ctest --output-on-failure

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
	@tests/wine-run.sh $(WIN)/wineprefix $(WIN)/stub_campaign.exe Z:$(CURDIR)/dist/kvxsfx.exe $(SEED) $(N)

clean:
	rm -rf build dist
