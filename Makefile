# The two commands of the README: `make run` and `make test`. Everything else is a helper.
JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
FUZZBUILD ?= build-fuzz
RUNROOT   ?= var/root
FUZZ_SECONDS ?= 20

.PHONY: all deps configure run test test-asan fuzz-smoke fuzz bench clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

deps:
	scripts/install-deps

# Runs the programs on an install root inside the checkout, in loopback mode (nothing leaves
# the machine): with a display the desktop program (which starts the agent's service), else
# the agent alone in the console. See the README for running it on the home network.
run: deps all
	RUNROOT=$(RUNROOT) scripts/run $(BUILD)

test: deps all
	cd $(BUILD) && KESTYL_LOOPBACK=1 ctest --output-on-failure -j $(JOBS) --timeout 600

test-asan: deps
	@test -f $(ASAN)/CMakeCache.txt || cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKS_SANITIZE=ON -DKS_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && KESTYL_LOOPBACK=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

fuzz-build: deps
	@test -f $(FUZZBUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_FUZZ=ON
	cmake --build $(FUZZBUILD) -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS on its seed corpus (fuzz/corpus/<name>).
fuzz-smoke: fuzz-build
	scripts/fuzz-all $(FUZZBUILD)/fuzz $(FUZZ_SECONDS)

bench: all
	scripts/bench-all $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZBUILD)
