# The two commands that set everything up on a fresh Debian 12 machine:
#   make demo   builds both programs and runs the main job under Wine
#   make test   builds both programs and runs every test
# Both first install what is missing from Debian's archive.

PACKAGES := g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev \
            python3-pefile cmake ninja-build googletest zip
PRESETS  := win32 win64

.PHONY: all deps build test demo clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "== installing from Debian's archive:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

build: deps
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

test: build
	ctest --preset win32
	ctest --preset win64

demo: build
	@demo/demo.sh build/win64

clean:
	rm -rf build
