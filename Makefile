# fontseal: `make demo` and `make test` are all the set-up a fresh machine needs.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PACKAGES = g++ make cmake pkg-config libssl-dev libcurl4-openssl-dev libcli11-dev nlohmann-json3-dev \
	googletest libgtest-dev openssl osslsigncode python3 python3-fonttools \
	python3-cryptography fonts-dejavu-core fonts-lmodern fonts-open-sans valgrind time strace

.PHONY: deps build test clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

.PHONY: demo bench
demo: deps build
	@BUILD_DIR=$(BUILD_DIR) scripts/demo.sh

bench: deps build
	@BUILD_DIR=$(BUILD_DIR) bench/run
