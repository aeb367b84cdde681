# Thin wrapper over CMake so that building, running and testing are one command each.
BUILD ?= build
# `make run` builds the daemon alone in a tree of its own: no test library
# needed, and the test build's cache is left as it is.
RUN_BUILD ?= build-run
PACKAGE_BUILD ?= build-package
JOBS ?= $(shell nproc)
# The end-to-end tests mostly wait (the repeater side's 5 s start, a 35 s
# time-out, calls at a repeater's pace), so twice as many run as there are
# processors; the two that keep a processor busy count as two.
TEST_JOBS ?= $(shell echo $$((2 * $$(nproc))))
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
DAEMON_ONLY = -DFERRULE_BUILD_TESTS=OFF -DFERRULE_BUILD_BENCHMARKS=OFF

.PHONY: all build run demo test package clean format

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Runs in the build tree, so that error.txt lands there and not in the sources.
run:
	cmake -S . -B $(RUN_BUILD) $(CMAKE_FLAGS) $(DAEMON_ONLY)
	cmake --build $(RUN_BUILD) --target ferrule -j $(JOBS)
	cd $(RUN_BUILD) && ./ferrule $(CURDIR)/ferrule.cfg

# The daemon between the simulated repeater and master, calls both ways.
demo:
	cmake -S . -B $(RUN_BUILD) $(CMAKE_FLAGS) $(DAEMON_ONLY)
	cmake --build $(RUN_BUILD) --target ferrule ferrule_sim_repeater ferrule_sim_peer -j $(JOBS)
	sim/demo.sh $(RUN_BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# The Debian package, installing below /usr.
package:
	cmake -S . -B $(PACKAGE_BUILD) $(CMAKE_FLAGS) $(DAEMON_ONLY) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_BUILD) --target package -j $(JOBS)

format:
	find app core hytera network voice status dmr sim testing fuzz soak benchmarks -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(PACKAGE_BUILD)
