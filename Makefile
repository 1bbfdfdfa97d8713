# The two commands of the README: `make run` and `make test`. Both install what is missing first.
BUILD_DIR ?= build
ARGS ?=

.PHONY: run test test-asan fuzz build deps bench clean install uninstall

run: build
	./$(BUILD_DIR)/kestrin-ai $(ARGS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 600 -j2

# The whole suite under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer, built in
# build-asan/; ASAN_TESTS="tst_a tst_b" builds and runs only those.
ASAN_DIR ?= build-asan
ASAN_TESTS ?=
empty :=
space := $(empty) $(empty)
test-asan: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DKESTRIN_SANITIZE=ON
	cmake --build $(ASAN_DIR) $(if $(ASAN_TESTS),--target $(ASAN_TESTS))
	cd $(ASAN_DIR) && ctest --output-on-failure --timeout 1200 -j2 $(if $(ASAN_TESTS),-R '^($(subst $(space),|,$(strip $(ASAN_TESTS))))$$')

# libFuzzer targets of the parsers (clang), built in build-fuzz/; each runs FUZZ_SECONDS over a
# scratch copy of its seeds in tests/fuzz/corpus/, FUZZ_TARGETS="tasks defaults" picks some.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKESTRIN_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_DIR) --target kestrin-fuzzers
	tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

bench: build
	./$(BUILD_DIR)/bench/kestrin-bench
	./$(BUILD_DIR)/bench/kestrin-engine-bench
	./$(BUILD_DIR)/bench/kestrin-chat-bench
	./$(BUILD_DIR)/bench/kestrin-recognizer-bench
	./$(BUILD_DIR)/bench/kestrin-screencapture-bench
	./$(BUILD_DIR)/bench/kestrin-wakeword-bench
	./$(BUILD_DIR)/bench/kestrin-coldstart-bench
	./$(BUILD_DIR)/bench/kestrin-globe-bench
	./$(BUILD_DIR)/bench/kestrin-panel-bench
	./$(BUILD_DIR)/bench/kestrin-gazetteer-bench
	./$(BUILD_DIR)/bench/kestrin-markdown-bench

# Installs under PREFIX (default /usr/local; sudo when needed): `make install`, then start
# "Kestrin AI" from the application menu. `make uninstall` removes what was installed.
PREFIX ?= /usr/local
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || [ -w "$(PREFIX)" ] || echo sudo)
install: build
	$(SUDO) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

uninstall:
	@test -f $(BUILD_DIR)/install_manifest.txt || { echo "Nothing installed from $(BUILD_DIR)"; exit 1; }
	$(SUDO) xargs -d '\n' rm -f < $(BUILD_DIR)/install_manifest.txt

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR)

deps:
	@tools/install-deps.sh

clean:
	rm -rf $(BUILD_DIR)
