# The project's verbs. Each installs the Debian packages it needs (as root) before building.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
# End-to-end cases mostly wait for the keyboard's reset, so many of them run at once.
TEST_JOBS  ?= 16
FUZZ_BUILD ?= build-fuzz
# How long `make fuzz` runs, split evenly between the three targets; `make test` runs it for a minute.
FUZZ_SECONDS ?= 300
# Where `make install` puts the programs; DESTDIR, when set, is put before it (staged installs).
PREFIX     ?= /usr/local
PACKAGES   := cmake make g++ libpugixml-dev nlohmann-json3-dev libgtest-dev mandoc dpkg-dev file lintian \
              libxml2-utils libsqlite3-dev libpq-dev libssl-dev postgresql
FUZZ_PACKAGES := clang libclang-rt-14-dev
DEMO_DIR   := $(BUILD)/demo

.PHONY: all deps fuzz-deps build build-asan build-fuzz build-demo test fuzz demo clean

all: build

# Installs the Debian packages named in $(1) that are missing.
define install_missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  if [ "$$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi; \
	  $$sudo apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

fuzz-deps: deps
	$(call install_missing,$(FUZZ_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKAVELWRITE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

build-fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKAVELWRITE_FUZZ=ON -DKAVELWRITE_SANITIZE=ON -DKAVELWRITE_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target kxb_fuzz simulation_fuzz replay_fuzz

test: build build-asan
	ctest --test-dir $(BUILD) -j $(TEST_JOBS) --output-on-failure
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(TEST_JOBS) --output-on-failure
	$(MAKE) fuzz FUZZ_SECONDS=60

# Runs each fuzz target for a third of FUZZ_SECONDS on a working copy of its seed corpus: kxb_fuzz
# on scripts, simulation_fuzz on virtual keyboard files, replay_fuzz on recordings (its own and the
# tests', when there are any). Fails on a finding (the crashing input is left in
# $(FUZZ_BUILD)/findings, named after its target).
fuzz: build-fuzz
	rm -rf $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/simulation-corpus $(FUZZ_BUILD)/replay-corpus $(FUZZ_BUILD)/findings
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/simulation-corpus $(FUZZ_BUILD)/replay-corpus $(FUZZ_BUILD)/findings
	cp fuzz/corpus/*.kxb $(FUZZ_BUILD)/corpus/
	for f in examples/*.kxb; do cp $$f $(FUZZ_BUILD)/corpus/example-$$(basename $$f); done
	cp fuzz/keyboard.xml $(FUZZ_BUILD)/simulation-corpus/fuzz-keyboard.xml
	for f in examples/*.xml; do cp $$f $(FUZZ_BUILD)/simulation-corpus/example-$$(basename $$f); done
	for f in tests/e2e/cases/*/keyboard.xml; do \
	  cp $$f $(FUZZ_BUILD)/simulation-corpus/case-$$(basename $$(dirname $$f)).xml; done
	cp fuzz/recordings/*.rec $(FUZZ_BUILD)/replay-corpus/
	for f in tests/recordings/*/*.rec; do [ -f "$$f" ] || continue; \
	  cp "$$f" $(FUZZ_BUILD)/replay-corpus/test-$$(basename $$(dirname "$$f"))-$$(basename "$$f"); done
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ_BUILD)/fuzz/kxb_fuzz -max_total_time=$$(( $(FUZZ_SECONDS) / 3 )) \
	  -print_final_stats=1 -max_len=65536 -artifact_prefix=$(FUZZ_BUILD)/findings/kxb- $(FUZZ_BUILD)/corpus
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ_BUILD)/fuzz/simulation_fuzz \
	  -max_total_time=$$(( $(FUZZ_SECONDS) / 3 )) -print_final_stats=1 -max_len=65536 \
	  -artifact_prefix=$(FUZZ_BUILD)/findings/simulation- $(FUZZ_BUILD)/simulation-corpus
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ_BUILD)/fuzz/replay_fuzz \
	  -max_total_time=$$(( $(FUZZ_SECONDS) - 2 * ($(FUZZ_SECONDS) / 3) )) -print_final_stats=1 -max_len=65536 \
	  -artifact_prefix=$(FUZZ_BUILD)/findings/replay- $(FUZZ_BUILD)/replay-corpus

# The demo runs kavelwrite only: it builds that and its library, not the test suite.
build-demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target kavelwrite

demo: build-demo
	@rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR) && cp examples/demo.kxb $(DEMO_DIR)/demo.kxb
	@echo "Running: kavelwrite demo.kxb --logfile   (virtual keyboard examples/demo-keyboard.xml)"
	@echo
	@cd $(DEMO_DIR) && status=0; \
	  KAVELHID_SIMULATION=$(CURDIR)/examples/demo-keyboard.xml \
	  KAVELHID_TRACE=$(CURDIR)/$(DEMO_DIR)/demo.trace \
	  KAVELHID_SIMULATION_SAVE=$(CURDIR)/$(DEMO_DIR)/demo-keyboard.saved.xml \
	  $(CURDIR)/$(BUILD)/kavelwrite demo.kxb --logfile || status=$$?; \
	  echo; echo "Exit status: $$status"; \
	  echo "Log file:            $$(ls $(CURDIR)/$(DEMO_DIR)/demo.kxb_t* 2>/dev/null)"; \
	  echo "Trace:               $(CURDIR)/$(DEMO_DIR)/demo.trace"; \
	  echo "Keyboard after run:  $(CURDIR)/$(DEMO_DIR)/demo-keyboard.saved.xml"; \
	  exit $$status

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Installs what the build made (both programs, the bundled library, manual pages, completions,
# documentation) under PREFIX, as `cmake --install` does.
.PHONY: install
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package kavelwrite_<version>_<architecture>.deb, built by CPack in $(BUILD); its
# dependencies are computed from the binaries (dpkg-shlibdeps from dpkg-dev, which needs file).
# It fails when lintian finds an error or a warning in the package.
.PHONY: package
package: build
	rm -f $(BUILD)/kavelwrite_*.deb
	cmake --build $(BUILD) --target package
	tests/install/package_lint.sh $(BUILD)/kavelwrite_*.deb
	@ls -1 $(CURDIR)/$(BUILD)/kavelwrite_*.deb

# Benchmarks in Release mode: generates scripts of 1, 10 and 100 MB in build-bench/bench/data and
# prints one table (check pass against pugixml's load, write pass per message, log file against
# pugixml's save, scaling), each figure the median of at least 5 runs; then the production record's
# table (a keyboard's rows, eight writers, kxb history over a million keyboards, on SQLite and on a
# PostgreSQL server of its own). See bench/README.md.
.PHONY: bench
bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKAVELWRITE_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target bench_run bench_history
	build-bench/bench/bench_run
	build-bench/bench/bench_history
