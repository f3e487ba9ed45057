# Vidorel: `make run` and `make test` do all the set-up on a fresh Debian machine.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BUILD_TYPE ?= RelWithDebInfo
# CI treats warnings as errors; locally they stay warnings unless asked.
ifeq ($(CI),true)
WERROR ?= ON
else
WERROR ?= OFF
endif
CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVIDOREL_WERROR=$(WERROR)

PREFIX     ?= /usr/local

.PHONY: all deps deps-test build run test test-core-asan torture bench fuzz format clean deb mutants

all: build

# What building and running need; the tests add their own tools.
deps:
	./scripts/install-deps run

deps-test:
	./scripts/install-deps test

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: build
	./$(BUILD)/vidorel

# The executable, the desktop entry and the icon under $(PREFIX) (DESTDIR
# is honoured for staging); uninstall removes exactly what was installed
# (the manifest lists paths without DESTDIR: give it the same one).
.PHONY: install uninstall
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "uninstall: nothing was installed from $(BUILD)" >&2; exit 1; }
	sed -e 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | xargs -r -d '\n' rm -f --
	rm -f $(BUILD)/install_manifest.txt

# The core tests once more with AddressSanitizer and UndefinedBehaviorSanitizer.
test-core-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DVIDOREL_CORE_ONLY=ON -DVIDOREL_SANITIZE=ON
	cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) -L core --output-on-failure -j2

# Every test; those that need a display or a microphone get a private
# Xvfb and PulseAudio server from scripts/desktop-env. Two at a time: the
# tests that share the display or the audio server take turns through
# their RESOURCE_LOCK. The slowest ten are printed whatever the outcome.
test: deps-test build test-core-asan
	@status=0; ./scripts/desktop-env ctest --test-dir $(BUILD) --output-on-failure -j2 \
	  --output-junit junit.xml || status=$$?; \
	./scripts/slowest-tests $(BUILD)/junit.xml 10; exit $$status

# The recorder and the app killed at thirty random instants, with the
# table of what was recovered (about a quarter of an hour).
torture: deps-test build
	./scripts/torture $(BUILD)

# Seeded faults (tests/mutants/*.patch), each applied to a private copy of
# the source and rebuilt in build-mutants/: a table of which tests caught
# which fault. Not part of `make test`.
mutants: deps-test
	./scripts/mutants

bench: deps-test build
	./scripts/desktop-env ./scripts/run-benchmarks $(BUILD)

# Each parser of a file a user can hand us, for FUZZ_SECONDS each; the
# corpora grow in $(FUZZ_BUILD)/corpus-NAME from the seeds kept here.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS = manifest:seeds avc_config:avc-seeds movie_header:movie-seeds \
  duration_probe:movie-seeds
fuzz: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVIDOREL_CORE_ONLY=ON -DVIDOREL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) --target $(foreach t,$(FUZZ_TARGETS),fuzz_$(firstword $(subst :, ,$(t))))
	set -e; for pair in $(FUZZ_TARGETS); do \
	  name=$${pair%%:*}; seeds=$${pair#*:}; \
	  mkdir -p $(FUZZ_BUILD)/corpus-$$name; \
	  ./$(FUZZ_BUILD)/tests/fuzz/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) \
	    $(FUZZ_BUILD)/corpus-$$name tests/fuzz/$$seeds; \
	done

# The Debian package vidorel_VERSION_ARCH.deb in this folder, built by
# dpkg-buildpackage from a copy of the tracked files (it writes beside the
# source folder, which must not be the one above this checkout), then
# checked by lintian.
DEB_WORK = $(BUILD)/deb
deb:
	./scripts/install-deps deb
	rm -rf $(DEB_WORK)
	mkdir -p $(DEB_WORK)/src
	git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t $(DEB_WORK)/src
	cd $(DEB_WORK)/src && dpkg-buildpackage -us -uc -b
	lintian --fail-on error $(DEB_WORK)/vidorel_*.deb
	cp $(DEB_WORK)/vidorel_*.deb .

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
