# Everything a fresh Debian machine needs: `make demo`, `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build needs; installed when missing.
PACKAGES = cmake make g++ pkg-config locales libgtest-dev libgmock-dev libbenchmark-dev \
           libassimp-dev nlohmann-json3-dev libcli11-dev

SUDO = $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: all deps build test demo bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Each export in a folder of its own: the log goes to the current directory.
demo: build
	mkdir -p out/sample out/totem
	cd out/sample && ../../$(BUILD)/vantrel-export ../../examples/sample.hm.json Sample.3D
	cd out/totem && ../../$(BUILD)/vantrel-export ../../examples/totem.gltf Totem.3D && cp ../../examples/totem_skin.png .

# The pieces with Google Benchmark, then whole exports against the I/O floor.
bench: build
	$(BUILD)/vantrel-bench pieces --benchmark_min_time=0.5
	$(BUILD)/vantrel-bench report --runs 5

clean:
	rm -rf $(BUILD) out
