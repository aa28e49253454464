# Everything a fresh Debian machine needs: `make demo`, `make test`, and for
# Windows `make windows` (the DLLs) and `make test-windows` (under Wine).
BUILD ?= build
WIN32_BUILD ?= build-win32
WIN64_BUILD ?= build-win64
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
DIST ?= dist
VERSION := $(shell grep -m1 -o '^project.vantrel VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)

# Debian packages the build needs; installed when missing.
PACKAGES = cmake make g++ pkg-config locales libgtest-dev libgmock-dev libbenchmark-dev \
           libassimp-dev libmeshoptimizer-dev nlohmann-json3-dev rapidjson-dev libcli11-dev libstb-dev libimagequant-dev zlib1g-dev
# Only for the corpus sweep: Assimp's own test files. The reference moves each
# vertex by all its bone weights and morph targets, as the default exact bake
# does; "heaviest" moves it by its heaviest bone, as the host does.
CORPUS_PACKAGES = assimp-testmodels
CORPUS_MODELS = /usr/share/assimp/models
CORPUS_SKINNING ?= weights
# Only for the Windows targets: the cross compilers, and what runs the result.
WINDOWS_PACKAGES = g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
WINE_PACKAGES = wine64 xvfb xdotool
# Only for the Windows programs: what builds Assimp from Debian's source
# packages (the header-only libraries Debian strips from it come as the -dev
# packages the Linux build uses).
ASSIMP_MINGW_PACKAGES = dpkg-dev libutfcpp-dev libstb-dev libminizip-dev libmeshoptimizer-dev libimagequant-dev
# Built once per Assimp version, outside the clone.
ASSIMP_MINGW_CACHE ?= $(HOME)/.cache/vantrel
# 32-bit Wine comes from Debian's i386 architecture (multiarch).
WINE32_PACKAGES = wine32:i386
# Only for the Blender add-on's test: Blender (3.4 on Debian 12) and the numpy it imports.
BLENDER_PACKAGES = blender python3-numpy
ADDON_ZIP = $(BUILD)/vantrel_export.zip
BLENDER_TEST = $(abspath $(BUILD))/blender-test
# Only for `make test-browser`: headless Chromium driven through chromedriver.
BROWSER_PACKAGES = chromium chromium-driver python3-selenium

# Only for `make fuzz`: clang with libFuzzer and the sanitizers' runtimes.
FUZZ_PACKAGES = clang-14 libclang-rt-14-dev

# make fuzz: every target for FUZZ_SECONDS, FUZZ_PARALLEL at a time.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_PARALLEL ?= 2

SUDO = $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps deps-windows deps-assimp-mingw assimp-mingw deps-wine deps-wine32 deps-blender deps-browser deps-corpus deps-fuzz build build-all test \
        test-corpus install demo bench bench-blender bench-blender-import windows test-windows dist blender-addon test-blender test-browser fuzz clean

all: build

# $(call install,PACKAGES): installs those that are missing.
define install
@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
if [ -n "$$missing" ]; then \
  echo "Installing missing packages:" $$missing; \
  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get -o DPkg::Lock::Timeout=1200 install -y -qq --no-install-recommends $$missing; \
fi
endef

deps:
	$(call install,$(PACKAGES))

deps-windows: deps
	$(call install,$(WINDOWS_PACKAGES))

deps-assimp-mingw: deps-windows
	$(call install,$(ASSIMP_MINGW_PACKAGES))

# Assimp (with zlib and minizip) for 64-bit Windows, from Debian's source
# packages of the versions the Linux build links; cached per version.
assimp-mingw: deps-assimp-mingw
	JOBS=$(JOBS) cmake/mingw-assimp.sh $(ASSIMP_MINGW_CACHE)

deps-wine:
	$(call install,$(WINE_PACKAGES))

deps-corpus:
	$(call install,$(CORPUS_PACKAGES))

deps-wine32: deps-wine
	@dpkg --print-foreign-architectures | grep -qx i386 || { \
	  echo "Adding Debian's i386 architecture for 32-bit Wine"; $(SUDO) dpkg --add-architecture i386; }
	$(call install,$(WINE32_PACKAGES))

deps-blender:
	$(call install,$(BLENDER_PACKAGES))

deps-browser:
	$(call install,$(BROWSER_PACKAGES))

deps-fuzz: deps
	$(call install,$(FUZZ_PACKAGES))

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

# The programs and the plug-in: what a user runs.
build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target vantrel-export hmVantrelExport hmModelLib vantrel-view

# Everything: the tests and the benchmarks too.
build-all: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# In random order, so that no test leans on another having run first. ctest
# counts a skipped test but keeps its reason in its log: print it.
test: build-all
	ctest --test-dir $(BUILD) --output-on-failure --schedule-random -j$(JOBS)
	@awk '/: Skipped$$/ { reason = ""; open = 1; next } \
	      open && /^\[  SKIPPED \]/ { print "skipped " $$4 ": " reason; open = 0; next } \
	      open { reason = reason (reason == "" ? "" : " ") $$0 }' $(BUILD)/Testing/Temporary/LastTest.log

# Every model file of Assimp's test files through vantrel-export, two at a
# time, each bounded to 30 s and 2 GiB; writes docs/corpus.md.
test-corpus: build-all deps-corpus
	$(BUILD)/corpus_sweep --models $(CORPUS_MODELS) --exporter $(BUILD)/vantrel-export --table docs/corpus.md \
	  --jobs 2 --timeout 30 --memory-mb 2048 --skinning $(CORPUS_SKINNING)

# vantrel-export in $(PREFIX)/bin, the plug-in and the host model library in
# $(PREFIX)/lib/vantrel (lib/<triplet>/vantrel when PREFIX is /usr).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The preview pages of the two samples in headless Chromium, checked against
# the C++ reader; saves the totem's page as docs/preview.png. Debian's Python,
# which has Debian's Selenium.
test-browser: build deps-browser
	/usr/bin/python3 tests/browser/preview_test.py $(BUILD)

# Each export in a folder of its own, its log beside it.
demo: build
	mkdir -p out/sample out/totem
	cd out/sample && ../../$(BUILD)/vantrel-export --preview ../../examples/sample.hm.json Sample.3D
	cd out/totem && ../../$(BUILD)/vantrel-export --preview ../../examples/totem.gltf Totem.3D

# The pieces with Google Benchmark, then whole exports against the I/O floor:
# in one process, then vantrel-export run as a user runs it.
bench: build-all
	$(BUILD)/vantrel-bench pieces --benchmark_min_time=0.5
	$(BUILD)/vantrel-bench report --runs 5
	$(BUILD)/vantrel-bench program --runs 5

# hmVantrelExport.dll and hmModelLib.dll for 32-bit Windows in $(WIN32_BUILD)/,
# for 64-bit Windows in $(WIN64_BUILD)/, with the Windows test host beside them.
$(WIN32_BUILD)/CMakeCache.txt: | deps-windows
	cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

# The 64-bit build also makes vantrel-export.exe and vantrel-view.exe, with
# Assimp built for Windows (make assimp-mingw: slow once, then cached).
$(WIN64_BUILD)/CMakeCache.txt: | deps-windows
	cmake -S . -B $(WIN64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake

windows: deps-windows assimp-mingw $(WIN32_BUILD)/CMakeCache.txt $(WIN64_BUILD)/CMakeCache.txt
	cmake --build $(WIN32_BUILD) -j$(JOBS)
	cmake -S . -B $(WIN64_BUILD) -DVANTREL_MINGW_DEPS=$$(cmake/mingw-assimp.sh $(ASSIMP_MINGW_CACHE)) >/dev/null
	cmake --build $(WIN64_BUILD) -j$(JOBS)

# The DLL tables and the 32-bit code checked; then both builds run under Wine
# (32-bit Wine from Debian's i386 architecture) with the real dialogs, and
# their exports of a few hundred random models compared with the Linux build's.
test-windows: build windows deps-wine deps-wine32 dist
	tests/windows/check_dll_tables.sh $(WIN32_BUILD) i686-w64-mingw32
	tests/windows/check_dll_tables.sh $(WIN64_BUILD) x86_64-w64-mingw32
	tests/windows/run_wine_tests.sh $(BUILD) $(WIN32_BUILD) $(WIN64_BUILD)
	tests/windows/run_wine_programs.sh $(BUILD) $(WIN64_BUILD) $(DIST)

# The downloads in $(DIST)/: vantrel-VERSION-windows.zip, vantrel-VERSION-linux.tar.gz
# (the installed tree) and their SHA256SUMS.
dist: build windows
	cmake/dist.sh $(VERSION) $(DIST) $(BUILD) $(WIN32_BUILD) $(WIN64_BUILD) $$(cmake/mingw-assimp.sh $(ASSIMP_MINGW_CACHE))

# The add-on as Blender's installers take it: Install... under Add-ons (3.4 and
# later), Install from Disk for extensions (4.2 and later).
blender-addon:
	mkdir -p $(BUILD) && rm -f $(ADDON_ZIP)
	cd blender && cmake -E tar cf $(abspath $(ADDON_ZIP)) --format=zip \
	  vantrel_export/__init__.py vantrel_export/blender_manifest.toml \
	  vantrel_export/import_set.py vantrel_export/bake.py

# The add-on installed from its zip into a headless Blender, vantrel-export from
# an installed tree on PATH. Blender takes its Python from the first python3 on
# PATH, which must be Debian's.
test-blender: build deps-blender blender-addon
	rm -rf $(BLENDER_TEST) && mkdir -p $(BLENDER_TEST)
	cmake --install $(BUILD) --prefix $(BLENDER_TEST)/prefix >/dev/null
	cd $(BLENDER_TEST) && PATH=$(BLENDER_TEST)/prefix/bin:/usr/bin:$$PATH BLENDER_USER_SCRIPTS=$(BLENDER_TEST)/scripts \
	  blender -b --factory-startup --python-exit-code 1 --python $(CURDIR)/tests/blender/export_test.py -- $(abspath $(ADDON_ZIP))
	cd $(BLENDER_TEST) && PATH=$(BLENDER_TEST)/prefix/bin:/usr/bin:$$PATH blender -b --factory-startup --python-exit-code 1 --python $(CURDIR)/tests/blender/armatures_test.py
	cd $(BLENDER_TEST) && PATH=$(BLENDER_TEST)/prefix/bin:/usr/bin:$$PATH BLENDER_USER_SCRIPTS=$(BLENDER_TEST)/scripts \
	  blender -b --factory-startup --python-exit-code 1 --python $(CURDIR)/tests/blender/motion_test.py -- $(abspath $(ADDON_ZIP))
	cd $(BLENDER_TEST) && PATH=$(BLENDER_TEST)/prefix/bin:/usr/bin:$$PATH BLENDER_USER_SCRIPTS=$(BLENDER_TEST)/scripts \
	  blender -b --factory-startup --python-exit-code 1 --python $(CURDIR)/tests/blender/import_test.py -- $(abspath $(ADDON_ZIP)) $(CURDIR)/examples/totem.gltf

# The add-on's routes timed on a bought character's size, and on the FBX files
# of BENCH_FBX (absolute paths), per frame.
bench-blender: build deps-blender blender-addon
	rm -rf $(BLENDER_TEST)-bench && mkdir -p $(BLENDER_TEST)-bench
	cmake --install $(BUILD) --prefix $(BLENDER_TEST)-bench/prefix >/dev/null
	cd $(BLENDER_TEST)-bench && PATH=$(BLENDER_TEST)-bench/prefix/bin:/usr/bin:$$PATH BLENDER_USER_SCRIPTS=$(BLENDER_TEST)-bench/scripts \
	  blender -b --factory-startup --python-exit-code 1 --python $(CURDIR)/bench/blender_export_bench.py -- $(abspath $(ADDON_ZIP)) $(BENCH_FBX)

# File > Import of a set of 900 vertices and 4000 frames, each way of bringing
# the frames in (BENCH_IMPORT_FRAMES) in a Blender of its own: the point cache
# in about a second, the shape keys, as before, in minutes.
BENCH_IMPORT_FRAMES ?= POINT_CACHE SHAPE_KEYS
bench-blender-import: build deps-blender blender-addon
	rm -rf $(BLENDER_TEST)-import-bench && mkdir -p $(BLENDER_TEST)-import-bench
	cmake --install $(BUILD) --prefix $(BLENDER_TEST)-import-bench/prefix >/dev/null
	for frames in $(BENCH_IMPORT_FRAMES); do \
	  rm -rf $(BLENDER_TEST)-import-bench/$$frames && mkdir -p $(BLENDER_TEST)-import-bench/$$frames && \
	  (cd $(BLENDER_TEST)-import-bench/$$frames && PATH=$(BLENDER_TEST)-import-bench/prefix/bin:/usr/bin:$$PATH \
	    BLENDER_USER_SCRIPTS=$(BLENDER_TEST)-import-bench/scripts blender -b --factory-startup --python-exit-code 1 \
	    --python $(CURDIR)/bench/blender_import_bench.py -- $(abspath $(ADDON_ZIP)) $$frames) || exit 1; \
	done

# The fuzz targets of fuzz/, built with clang, libFuzzer and both sanitizers in
# a build folder of their own; each corpus grows in $(FUZZ_BUILD)/fuzz-corpus.
$(FUZZ_BUILD)/CMakeCache.txt: | deps-fuzz
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DVANTREL_FUZZ=ON -DVANTREL_BENCH=OFF -DBUILD_TESTING=OFF

fuzz: deps-fuzz $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_PARALLEL)

clean:
	rm -rf $(BUILD) $(WIN32_BUILD) $(WIN64_BUILD) $(FUZZ_BUILD) $(DIST) out
