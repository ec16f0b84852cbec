# The two commands that set everything up on a fresh Debian 12 machine:
#   make demo   builds both programs and runs the main job under Wine
#   make test   builds both programs and runs every test
# Both first install what is missing from Debian's archive.

PACKAGES := g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev \
            python3-pefile cmake ninja-build googletest zip
PRESETS  := win32 win64

VERSION  := 8.3.1202.0
DIST     := build/dist

.PHONY: all deps build test demo bench stress dist clean

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

# Benchmarks print figures measured side by side under Wine; see the README.
bench: build
	cmake --build --preset win64 --target bench 2>&1 | tee build/win64/bench.log
	@echo; bench/table.sh build/win64/bench.log

# The long versions of the stress tests that `make test` runs short.
stress: build
	KELMO_FUZZ_CASES=200000 KELMO_PARALLEL_ROUNDS=30 TOLLAN_STRESS_LINES=1000000 TOLLAN_STRESS_RUNS=200 \
	  ctest --preset win64 -R stress

# The 32-bit deliverables with their SHA-256 sums. The sample hosted
# component is never packaged: its registration would replace the real one's.
dist: build
	@rm -rf $(DIST) && mkdir -p $(DIST)/kelmo7-$(VERSION)
	cp build/win32/server/Kelmo7.exe build/win32/tollan/tollan.exe dist/README.txt $(DIST)/kelmo7-$(VERSION)/
	cd $(DIST)/kelmo7-$(VERSION) && sha256sum Kelmo7.exe tollan.exe README.txt > SHA256SUMS
	cd $(DIST) && rm -f kelmo7-$(VERSION)-win32.zip && zip -q -r kelmo7-$(VERSION)-win32.zip kelmo7-$(VERSION)
	@cat $(DIST)/kelmo7-$(VERSION)/SHA256SUMS
	@echo "== $(DIST)/kelmo7-$(VERSION)-win32.zip"

clean:
	rm -rf build
