# The two commands of the README: `make run` and `make test`. Both install what is missing first.
BUILD_DIR ?= build
ARGS ?=

.PHONY: run test build deps bench clean

run: build
	./$(BUILD_DIR)/kestrin-ai $(ARGS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 600 -j2

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

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR)

deps:
	@tools/install-deps.sh

clean:
	rm -rf $(BUILD_DIR)
