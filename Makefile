# make        builds the stub (dist/kvxsfx.exe) and the packer (dist/kvxsfx-pack)
# make test   builds everything and runs every test (host, then Windows under Wine)
# make demo   packs examples/ into a self-extracting file and runs it under Wine
#
# Every target first runs scripts/bootstrap.sh, which installs what is missing.

HOST := build/host
WIN  := build/win
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all bootstrap host win test demo clean

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

test: all
	@cd $(HOST) && ctest --output-on-failure
	@cd $(WIN) && ctest --output-on-failure

demo: all
	@scripts/demo.sh

clean:
	rm -rf build dist
