# The two commands that set everything up on a fresh Debian 12 machine:
#   make demo   builds both programs and runs the main job under Wine
#   make test   builds both programs and runs every test
# Both first install what is missing from Debian's archive. The test targets
# are thin wrappers over CMake's test presets (CMakePresets.json), which
# select tests by label; see docs/development.md.
# `make test32` and `make demo32` do the same for the win32 build, under 32-bit
# Wine in an emulated i386 machine, and test32 also under 64-bit Wine with its
# 32-bit half in an emulated x86-64 machine (see docs/development.md).

PACKAGES := g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev \
            python3-pefile cmake ninja-build googletest zip unzip clang-format faketime
# The guests: qemu, and what assembles their roots, initramfs and disks.
GUEST_PACKAGES := qemu-system-x86 cpio e2fsprogs
PRESETS  := win32 win64

VERSION  := 8.3.1202.0
DIST     := build/dist

.PHONY: all deps deps32 build build32 test check test32 demo demo32 bench stress format-check dist msi clean

all: build

# Installs the packages that are missing; a package list that a mirror serves
# half-synced is skipped with one line, and only a package that cannot be had
# fails (cmake/install-packages.sh).
deps:
	@cmake/install-packages.sh $(PACKAGES)

deps32: deps
	@cmake/install-packages.sh $(GUEST_PACKAGES)

build: deps
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

build32: deps
	@cmake --preset win32 >/dev/null && cmake --build --preset win32

# Every test this machine can run: the win32 build's static checks, and all
# of the win64 build's tests, the short stress runs and one round of each
# benchmark included.
test: build
	ctest --preset win32
	ctest --preset win64

# The inner loop, under a minute once built: the win64 build's tests labelled
# unit and static, and the win32 build's static tests (its Wine tests run only
# in the guest), the docs' links and facts among them.
check: build
	ctest --preset check-win32
	ctest --preset check-win64

# Every Wine test of the win32 build and the demo, in the i386 guest, after the
# guest scripts' own checks; then the win32 files under WoW64 and the 32-bit
# installer package, in the amd64 guest. The guests are built once and kept in
# /var/cache/kelmo7-guests. One deadline bounds all of it, the guests' builds
# included (KELMO_DEADLINE, or KELMO_GUEST_BUDGET from the start; see
# cmake/guest/test32.sh).
test32: deps32 build
	@cmake/guest/test32.sh

demo32: deps32 build32
	@cmake/guest/test32.sh demo

demo: build
	@demo/demo.sh build/win64

# Benchmarks print figures measured side by side under Wine; their table goes
# to bench/results/DATE.md (UTC), which docs/measured.md links.
BENCH_RESULTS = bench/results/$(shell date -u +%Y-%m-%d).md
bench: build
	cmake --build --preset win64 --target bench 2>&1 | tee build/win64/bench.log
	@mkdir -p bench/results
	@{ echo "# make bench, $$(date -u '+%Y-%m-%d %H:%M') UTC, commit $$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"; \
	   echo; bench/table.sh build/win64/bench.log; } > $(BENCH_RESULTS)
	@echo; cat $(BENCH_RESULTS); echo; echo "written to $(BENCH_RESULTS)"

# Every C++ file of ours formatted as .clang-format says (Debian's clang-format);
# `clang-format -i FILE` formats one.
format-check: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror && echo "format-check: every file formatted"

# The long versions of the tests labelled stress that `make test` runs short.
stress: build
	KELMO_FUZZ_CASES=200000 KELMO_PARALLEL_ROUNDS=30 TOLLAN_STRESS_LINES=1000000 TOLLAN_STRESS_RUNS=200 \
	  ctest --preset stress

# The 32-bit deliverables with their SHA-256 sums, and beside them their symbols
# archive (PDBs and programs as a symbol store), built twice from copies of
# the sources and compared byte for byte first (dist/make-dist.sh). The sample
# hosted component is never packaged: its registration would replace the real one's.
# Optional Authenticode signing of both programs before the sums are taken:
#   make dist SIGN_PKCS12=signer.p12 SIGN_PASSWORD_FILE=password.txt [SIGN_TIMESTAMP_URL=http://...]
PACKAGES += osslsigncode openssl
# llvm-symbolizer, which the tests resolve addresses with through the PDBs.
PACKAGES += llvm
SIGN_PKCS12 ?=
SIGN_PASSWORD_FILE ?=
SIGN_TIMESTAMP_URL ?=
# A package of a tree with uncommitted changes, named ...-dirty: make dist DIST_ALLOW_DIRTY=1
DIST_ALLOW_DIRTY ?=

dist: deps
	@SIGN_PKCS12='$(SIGN_PKCS12)' SIGN_PASSWORD_FILE='$(SIGN_PASSWORD_FILE)' SIGN_TIMESTAMP_URL='$(SIGN_TIMESTAMP_URL)' \
	  DIST_ALLOW_DIRTY='$(DIST_ALLOW_DIRTY)' dist/make-dist.sh $(VERSION) $(DIST)

# The demo product as a Windows Installer package: the 32-bit programs as
# dist/installer/Kelmo7.wxs installs them, with the sample hosted component and
# the demo's client (demo/msi.sh, Debian's wixl). Never shipped: `make dist`
# ships Kelmo7.wxs, not this package; both leave each other's files alone.
PACKAGES += wixl msitools

msi: deps
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target Kelmo7 tollan KelmoHosted kelmo_demo
	@demo/msi.sh $(VERSION) build/win32 $(DIST)/kelmo7-demo-$(VERSION).msi && echo "== $(DIST)/kelmo7-demo-$(VERSION).msi"

clean:
	rm -rf build
