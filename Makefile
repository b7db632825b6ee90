# SPDX-License-Identifier: Apache-2.0
# fontseal: `make demo` and `make test` are all the set-up a fresh machine needs.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

DEB_PACKAGES = g++ make cmake pkg-config libssl-dev libcurl4-openssl-dev zlib1g-dev libcli11-dev nlohmann-json3-dev \
	googletest libgtest-dev openssl osslsigncode python3 python3-fonttools python3-pytest \
	python3-cryptography fonts-dejavu-core fonts-lmodern fonts-open-sans valgrind time strace \
	clang libclang-rt-14-dev libp11-kit-dev p11-kit p11-kit-modules softhsm2 opensc dpkg-dev file man-db groff-base \
	fonts-wqy-microhei fonts-noto-cjk python3-freetype \
	debhelper dh-python pybuild-plugin-pyproject python3-all python3-setuptools python3-pip python3-venv

.PHONY: deps configure build test clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# The library, the CLI and the manual pages: what demo and install
# need, without the sanitizer builds and test binaries that `build` adds.
INSTALLED_TARGETS = libfontseal fontseal_cli man

configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build fuzz-build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	cd $(FUZZ_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

# The fuzzers: built by clang in a directory of their own, so the gcc build
# above stays as it is. `make test` replays their seeds and kept crashes and
# gives each a short run; `make fuzz` runs each one for FUZZ_SECONDS.
FUZZ_BUILD_DIR ?= $(BUILD_DIR)/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = font der x509 pkcs7 cert_loader codec pvk verify rfc3161_reply \
  countersignature_reply url key_file

.PHONY: fuzz-build fuzz
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DFONTSEAL_FUZZ=ON -DFONTSEAL_TESTS=OFF
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  echo "== fuzz_$$t, $(FUZZ_SECONDS) s"; \
	  FUZZ_BUILD_DIR=$(abspath $(FUZZ_BUILD_DIR)) fuzz/run.sh long $$t $(FUZZ_SECONDS) || exit 1; \
	done

.PHONY: demo bench install package
# The first run: only the library and the CLI are built (about half a minute
# on two cores), then a font is signed and verified.
demo: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target libfontseal fontseal_cli
	@BUILD_DIR=$(BUILD_DIR) scripts/demo.sh

# Installs the library, headers, CLI, fontseal.pc and manual pages under
# PREFIX (DESTDIR is honoured, as by `cmake --install`).
PREFIX ?= /usr/local
install: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(INSTALLED_TARGETS)
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian packages of debian/ (libfontseal1, libfontseal-dev, fontseal,
# python3-fontseal): dpkg-buildpackage in a scratch copy of the tree, the
# .debs left in $(BUILD_DIR)/package/.
package: deps
	scripts/package.sh $(BUILD_DIR)/package $(JOBS)

bench: deps build
	@BUILD_DIR=$(BUILD_DIR) bench/run
