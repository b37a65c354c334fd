# The two commands a newcomer needs:  make run   and   make test
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build run test clean

all: build

deps:
	@bash tools/install-deps.sh

configure: deps
	@if [ ! -f $(BUILD_DIR)/build.ninja ]; then \
		cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS); \
	fi

build: configure
	cmake --build $(BUILD_DIR)

# Started from the top of the checkout, so that images/zorbelfwloader.ico resolves.
run: build
	./$(BUILD_DIR)/app/zorbelfwloader

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600

clean:
	rm -rf $(BUILD_DIR)
