# Quick start:  make demo   |   make test
# Both install missing Debian packages first (needs root or sudo), then build.

PACKAGES := cmake g++ make googletest libgtest-dev libtirpc-dev libmotif-dev libxt-dev \
            xvfb xauth tcpdump tshark iproute2 tcpreplay clang libclang-rt-14-dev libpcap-dev \
            socat x11-apps x11-utils netpbm libxtst-dev systemd man-db bsdextrautils dpkg-dev
BUILD    ?= build
SANBUILD ?= build-san
JOBS     ?= $(shell nproc)
SUDO     := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PREFIX   ?= /usr/local
DESTDIR  ?=

.PHONY: all setup build demo test fuzz bench clean install package

all: build

setup:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  echo "wireshark-common wireshark-common/install-setuid boolean false" | $(SUDO) debconf-set-selections; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	else echo "All packages present."; fi

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Programs, shared libraries, headers, data files and manual pages under
# $(PREFIX), staged under $(DESTDIR) when it is given.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (installs under /usr) in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

demo: build
	@sh samples/demo.sh $(BUILD)/bin

test: setup
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  VELMORA_REQUIRE_ALL=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

fuzz: setup
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DVELMORA_SANITIZE=ON -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)

bench: build
	@for b in bench/*.sh; do [ -f "$$b" ] && sh "$$b" $(BUILD)/bin; done

clean:
	rm -rf $(BUILD) $(SANBUILD) build-fuzz
