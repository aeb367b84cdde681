# Thin wrapper over CMake so that building, running and testing are one command each.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all build run test clean format

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/ferrule ferrule.cfg

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

format:
	find app core hytera network voice dmr sim testing fuzz soak benchmarks -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
