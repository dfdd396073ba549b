# Set-up, build, tests and demo. Every target installs what it needs: Debian packages
# through apt when missing, Python packages into .venv.

PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
BUILD  := build
JOBS   ?= 2
APT_PACKAGES := g++ make libsqlite3-dev libgtest-dev libpq-dev postgresql chromium
# rich for the command-line tool; pandas and pyarrow are the `analysis` extra, which the
# DataFrame and Parquet tests need.
PY_PACKAGES  := nanobind scikit-build-core cmake ninja pytest hypothesis rich pandas pyarrow psycopg2-binary
# apt needs root: through sudo for everyone else.
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test test-cpp test-python test-asan demo bench bench-instructions clean

all: build

$(VENV)/.apt-ok:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@mkdir -p $(VENV) && touch $@

$(VENV)/.py-ok: $(VENV)/.apt-ok
	@[ -x $(PY) ] || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade $(PY_PACKAGES)
	@touch $@

deps: $(VENV)/.py-ok

$(BUILD)/CMakeCache.txt: $(VENV)/.py-ok CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY))

build: $(BUILD)/CMakeCache.txt
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure

# The report test leaves its browser screenshot in $(BUILD)/report-screenshot.png.
test-python: build
	PYTHONPATH=$(BUILD)/python PLINTROVE_ARTIFACTS=$(abspath $(BUILD)) $(PY) -m pytest -q tests/python

test: test-cpp test-python

# Both suites on a build with AddressSanitizer and UndefinedBehaviorSanitizer (in
# $(ASAN_BUILD)). Python itself is not instrumented, so the sanitizer runtime is preloaded
# (with libstdc++, whose exception throwing it intercepts), and leak detection is off: the
# interpreter keeps memory until exit on purpose.
ASAN_BUILD := build-asan
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
            ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1
# Chromium does not start with the sanitizer runtime preloaded into it. A writer thread
# still running at exit is ended by the interpreter unwinding it from inside a call that
# gave up the GIL; the sanitizer reports that forced unwind's stack as overflowed.
ASAN_DESELECT := tests/python/test_report.py::test_report_renders_every_chart_offline_without_errors \
  "tests/python/test_garbage_collection.py::test_engines_left_in_cycles_at_exit[True]"
test-asan: $(VENV)/.py-ok
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLINTROVE_SANITIZE=ON -DPLINTROVE_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ../$(VENV)/bin/ctest --output-on-failure
	$(ASAN_ENV) PYTHONPATH=$(ASAN_BUILD)/python PLINTROVE_ARTIFACTS=$(abspath $(ASAN_BUILD)) \
	  $(PY) -m pytest -q tests/python $(addprefix --deselect ,$(ASAN_DESELECT))

# The demo's store stays in $(BUILD)/demo-data; its report is $(BUILD)/report.html.
DEMO_DIR := $(BUILD)/demo-data
demo: build
	rm -rf $(DEMO_DIR)
	PYTHONPATH=$(BUILD)/python $(PY) examples/demo.py $(DEMO_DIR)
	PYTHONPATH=$(BUILD)/python $(PY) -m plintrove summary $(DEMO_DIR)
	PYTHONPATH=$(BUILD)/python $(PY) -m plintrove ledger $(DEMO_DIR) --top 5
	PYTHONPATH=$(BUILD)/python $(PY) -m plintrove report $(DEMO_DIR) --out $(BUILD)/report.html

bench: build
	PYTHONPATH=$(BUILD)/python $(PY) bench/run_all.py

bench-instructions: build
	@dpkg -s valgrind >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; }
	PYTHONPATH=$(BUILD)/python $(PY) bench/instruction_counts.py

clean:
	rm -rf $(BUILD)
