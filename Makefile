# The project's verbs. Each installs the Debian packages it needs (as root) before building.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
# End-to-end cases mostly wait for the keyboard's reset, so many of them run at once.
TEST_JOBS  ?= 16
PACKAGES   := cmake make g++ libpugixml-dev libgtest-dev
DEMO_DIR   := $(BUILD)/demo

.PHONY: all deps build build-asan test demo clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  if [ "$$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi; \
	  $$sudo apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKAVELWRITE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build build-asan
	ctest --test-dir $(BUILD) -j $(TEST_JOBS) --output-on-failure
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(TEST_JOBS) --output-on-failure

demo: build
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
