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

# The 32-bit deliverables with their SHA-256 sums, built twice from copies of
# the sources and compared byte for byte first (dist/make-dist.sh). The sample
# hosted component is never packaged: its registration would replace the real one's.
# Optional Authenticode signing of both programs before the sums are taken:
#   make dist SIGN_PKCS12=signer.p12 SIGN_PASSWORD_FILE=password.txt [SIGN_TIMESTAMP_URL=http://...]
PACKAGES += osslsigncode openssl
SIGN_PKCS12 ?=
SIGN_PASSWORD_FILE ?=
SIGN_TIMESTAMP_URL ?=

dist: deps
	@SIGN_PKCS12='$(SIGN_PKCS12)' SIGN_PASSWORD_FILE='$(SIGN_PASSWORD_FILE)' SIGN_TIMESTAMP_URL='$(SIGN_TIMESTAMP_URL)' \
	  dist/make-dist.sh $(VERSION) $(DIST)

clean:
	rm -rf build
