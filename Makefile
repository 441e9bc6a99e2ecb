# Quick start: `make run` starts the helper on this terminal, `make test` runs every test.
# Both first install the Debian packages that are missing (as root, or through sudo).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PACKAGES := g++ cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps build run test clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing" >&2; \
	  $(SUDO) apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >&2; \
	fi

build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVANE_WERROR=$(WERROR) >&2
	@cmake --build $(BUILD_DIR) >&2

# The helper reads commands from this terminal and writes its messages to it; end input with Ctrl-D.
run: build
	@exec ./$(BUILD_DIR)/tolvane

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

clean:
	rm -rf $(BUILD_DIR)
