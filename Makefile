# Entry points for engineers and CI. Every target that builds first makes
# sure the Debian packages the project needs are installed.
PREFIX ?= /opt/zqstack
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all deps test demo bench install deb fuzz format clean

all: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

deps:
	@scripts/deps.sh

test: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	scripts/demo.sh build/release

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	scripts/bench.sh build/release

install: all
	cmake --install build/release --prefix $(PREFIX)

# build/deb/zqstack_<version>_<arch>.deb: the stack in $(PREFIX), the unit
# zqstack@.service, the zqstack user and group (see README, Installing on a plant).
deb: all
	ZQ_PREFIX=$(PREFIX) packaging/make_deb.sh build/release build/deb

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
