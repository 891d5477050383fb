# Lagvane: `make run` builds and starts the program, `make test` builds and runs every test.
# Both first install the Debian packages that are missing.

# The last two lines are the sound servers the end-to-end tests start: a headless PipeWire with
# its PulseAudio and JACK faces, and the ALSA plug-ins that reach it; curl drives the program's
# remote control in them; systemd checks the service units; headless Chromium, driven through
# chromedriver, presses Dump on the remote control's web panel. liblo reads the desk's OSC messages.
# stress-ng keeps one core busy through the end-to-end tests.
PACKAGES := cmake ninja-build g++ make pkg-config qt6-base-dev liblo-dev \
            librubberband-dev portaudio19-dev libasound2-dev libjack-jackd2-dev jackd2 \
            libsndfile1-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev locales curl \
            pipewire wireplumber pipewire-pulse pipewire-alsa pipewire-jack libasound2-plugins \
            pulseaudio-utils dbus systemd chromium chromium-driver stress-ng
JOBS := $(shell nproc)
BUILD := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
export LSAN_OPTIONS := suppressions=$(CURDIR)/tests/lsan.supp
# A new build folder is made for Ninja, which builds faster; one made before keeps its generator.
generator = $(if $(wildcard $(1)/CMakeCache.txt),,-G Ninja)

.PHONY: run test test-asan test-tsan fuzz bench build deps clean

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ] && [ -z "$$QT_QPA_PLATFORM" ]; then \
	  echo "No display found: start Lagvane on a desktop, or without one as: xvfb-run $(BUILD)/app/lagvane"; \
	  exit 1; \
	fi
	$(BUILD)/app/lagvane

# The tests that need no sound server share the cores; the end-to-end tests, which play in real
# time against the servers, run one at a time after them. Both sets run, whatever the first says.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -LE e2e -j$(JOBS); first=$$?; \
	  ctest --test-dir $(BUILD) --output-on-failure -L e2e && exit $$first

# Unit tests under AddressSanitizer and UndefinedBehaviorSanitizer; not the soaks, whose
# flat-memory check cannot hold against the sanitizer's quarantine of freed memory.
test-asan: deps
	cmake -S . -B build-asan $(call generator,build-asan) $(CMAKE_FLAGS) \
	  -DLAGVANE_SANITIZE=address -DLAGVANE_BENCHMARKS=OFF \
	  -DLAGVANE_E2E_TESTS=OFF
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -LE "e2e|soak"

# The audio path under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan $(call generator,build-tsan) $(CMAKE_FLAGS) \
	  -DLAGVANE_SANITIZE=thread -DLAGVANE_BENCHMARKS=OFF \
	  -DLAGVANE_E2E_TESTS=OFF
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -L audio -LE e2e
	# A dump runs the output ahead of schedule, reading what the device thread is writing; its
	# evidence is read from what the device thread played, and written on a thread of its own.
	ctest --test-dir build-tsan --output-on-failure -R "^(Dumps/DumpTest|Evidence/EvidenceTest)"

# Each libFuzzer target for FUZZ_SECONDS, starting from its committed seed corpus in fuzz/corpus/.
FUZZ_SECONDS := 60
FUZZERS := $(patsubst fuzz/%_fuzz.cpp,%,$(wildcard fuzz/*_fuzz.cpp))
fuzz: deps
	cmake -S . -B build-fuzz $(call generator,build-fuzz) $(CMAKE_FLAGS) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DLAGVANE_FUZZ=ON -DLAGVANE_TESTS=OFF -DLAGVANE_BENCHMARKS=OFF
	cmake --build build-fuzz -j$(JOBS) --target $(addsuffix _fuzz,$(FUZZERS))
	set -e; for f in $(FUZZERS); do \
	  mkdir -p build-fuzz/corpus/$$f; \
	  QT_QPA_PLATFORM=offscreen build-fuzz/fuzz/$${f}_fuzz -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=build-fuzz/$${f}- build-fuzz/corpus/$$f fuzz/corpus/$$f; \
	done

# The benchmarks, built beside the program; run them from build/bench/.
bench: build
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks

build: deps
	cmake -S . -B $(BUILD) $(call generator,$(BUILD)) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then sudo=""; \
	  elif command -v sudo >/dev/null; then sudo=sudo; \
	  else echo "Missing packages; as root run: apt-get install -y" $$missing; exit 1; fi; \
	  echo "Installing:" $$missing; \
	  $$sudo apt-get update -qq && \
	  $$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
