# The two commands a newcomer needs:  make run   and   make test
BUILD_DIR ?= build
# Extra cache settings for the default tree (the preset "default" is a Release build);
# a change reconfigures it on the next make.
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test clean

all: build

deps:
	@bash tools/install-deps.sh

# Configures build tree $(2) from CMake preset $(1) with the extra flags $(3): when the
# tree is new, and again whenever the preset or the flags differ from the last time.
define configure_tree
	@want='$(1) $(3)'; \
	if [ ! -f $(2)/build.ninja ] || [ "$$(cat $(2)/.configured-with 2>/dev/null)" != "$$want" ]; then \
		cmake --preset $(1) -B $(2) $(3) && printf '%s' "$$want" > $(2)/.configured-with; \
	fi
endef

configure: deps
	$(call configure_tree,default,$(BUILD_DIR),$(CMAKE_FLAGS))

build: configure
	cmake --build $(BUILD_DIR)

# Started from the top of the checkout, so that images/zorbelfwloader.ico resolves.
run: build
	./$(BUILD_DIR)/app/zorbelfwloader

# The test programs run side by side: they spend their time waiting on the simulated
# line and on timers, not computing. TEST_JOBS=1 runs them one after the other.
TEST_JOBS ?= 8
test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j $(TEST_JOBS)

clean:
	rm -rf $(BUILD_DIR)

# Checking builds, each in a build folder of its own.
#   make sanitize     every test under AddressSanitizer and UndefinedBehaviorSanitizer,
#                     then the loader itself on Xvfb, started and closed (tools/sanitize-gui.sh)
#   make fuzz         every libFuzzer harness for FUZZ_SECONDS (60 s) each
#   make fuzz-smoke   the same for FUZZ_SMOKE_SECONDS (10 s) each, from the committed seeds only
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10
CHECK_JOBS ?= 2
# The first sanitizer report ends the process and fails the run. The leak
# suppressions list only leaks inside Qt and the libraries it loads, each with its reason.
SANITIZER_ENV = \
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0

.PHONY: sanitize fuzz-build fuzz fuzz-smoke

sanitize:
	@bash tools/install-deps.sh
	$(call configure_tree,sanitize,$(SANITIZE_DIR),)
	cmake --build $(SANITIZE_DIR) -j $(CHECK_JOBS)
	cd $(SANITIZE_DIR) && env $(SANITIZER_ENV) QT_QPA_PLATFORM=offscreen \
		ctest --output-on-failure --timeout 900
	env $(SANITIZER_ENV) bash tools/sanitize-gui.sh $(SANITIZE_DIR)

fuzz-build:
	@bash tools/install-deps.sh clang libclang-rt-dev
	$(call configure_tree,fuzz,$(FUZZ_DIR),)
	cmake --build $(FUZZ_DIR) -j $(CHECK_JOBS) --target fuzzers

fuzz: fuzz-build
	env $(SANITIZER_ENV) bash tests/fuzz/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	env $(SANITIZER_ENV) bash tests/fuzz/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SMOKE_SECONDS) fresh

# Static checks of the product code: clang-tidy (checks in .clang-tidy), then cppcheck,
# then every product source compiled for Windows in syntax-only mode (MinGW-w64), then
# the station's systemd unit (systemd-analyze verify).
# Any finding fails the run. tools/lint.sh and tools/windows-check.py have the details.
LINT_DIR ?= build-lint
.PHONY: lint windows-check

lint:
	@bash tools/install-deps.sh clang-tidy cppcheck g++-mingw-w64-x86-64-posix python3
	@# Both run, so that one run shows every finding; either failing fails lint.
	@status=0; \
	LINT_JOBS=$(CHECK_JOBS) bash tools/lint.sh $(LINT_DIR) || status=1; \
	LINT_JOBS=$(CHECK_JOBS) python3 tools/windows-check.py $(LINT_DIR) || status=1; \
	bash tools/check-unit.sh || status=1; \
	exit $$status

# The Windows compile check alone (also the last step of make lint).
windows-check:
	@bash tools/install-deps.sh g++-mingw-w64-x86-64-posix python3
	LINT_JOBS=$(CHECK_JOBS) python3 tools/windows-check.py $(LINT_DIR)

# Trying the loader out, and shipping it.
#   make demo          the loader against a simulated instrument, with a sample firmware file
#   make screenshots   docs/screenshots/*.png, taken headless under Xvfb
#   make package       a .deb of both programs (CPack), in $(BUILD_DIR), checked by lintian
.PHONY: demo screenshots package

demo: build
	@bash tools/demo.sh $(BUILD_DIR)

screenshots: build
	@bash tools/screenshots.sh $(BUILD_DIR)

package: build
	@bash tools/install-deps.sh dpkg-dev lintian
	cd $(BUILD_DIR) && cpack -G DEB
	lintian --fail-on error,warning $(BUILD_DIR)/zorbelfwloader_*.deb
