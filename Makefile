# Entry points for a fresh Debian machine (run as root): `make demo`, `make check`.

BUILD_DIR := build
ASAN_DIR := build-asan
FUZZ_DIR := build-fuzz
# Wall seconds per fuzz target of `make fuzz`.
FUZZ_SECONDS ?= 30
DEMO_DIR := $(BUILD_DIR)/demo-run
JOBS ?= 2
# Where `make install` puts the program (PREFIX/bin) and the Python package
# (PREFIX/lib/python3.X/dist-packages on Debian); DESTDIR stages it elsewhere.
PREFIX ?= /usr/local
# The system interpreter: the one Debian's numpy and matplotlib belong to.
PYTHON := $(shell [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || echo python3)
PACKAGES := cmake g++ make libeigen3-dev libgtest-dev libgmock-dev libbenchmark-dev libsleef-dev libcli11-dev nlohmann-json3-dev libopenmpi-dev openmpi-bin python3 python3-numpy python3-mpmath python3-matplotlib python3-h5py python3-pytest clang libclang-rt-14-dev python3-setuptools python3-wheel python3-pip python3-venv python3-tqdm python3-pandas python3-xarray python3-netcdf4 python3-nbclient python3-nbformat python3-ipykernel liblapacke-dev libopenblas-dev libspectra-dev

.PHONY: all build deps demo check check-asan fuzz clean install

all: build

# Installs only what is missing, so a prepared machine never touches apt.
deps:
	@missing=""; \
	for pkg in $(PACKAGES); do \
	  dpkg -s $$pkg 2>/dev/null | grep -q '^Status: install ok installed' || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update && apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j$(JOBS)

# Result files are appended to, never truncated, so every demo starts from a
# clean run directory.
demo: build
	rm -rf $(DEMO_DIR)
	mkdir -p $(DEMO_DIR)
	cp examples/demo.txt $(DEMO_DIR)/
	$(BUILD_DIR)/tessaly -C $(DEMO_DIR) demo.txt
	@echo
	@echo "Summary of the mean return times (column 4) over every node and kick:"
	@$(PYTHON) tools/tessaly-view $(DEMO_DIR)/ijtor/ijtordemo --stats
	@echo
	@echo "Results in $(DEMO_DIR):"
	@cd $(DEMO_DIR) && find . -type f ! -name demo.txt | sort
	@echo "What every file holds: $(DEMO_DIR)/Manifestdemo.json"
	@PYTHONPATH=python $(PYTHON) -m tessaly plot overview $(DEMO_DIR) -o $(DEMO_DIR)/demo.png
	@echo "Return-time map and one trajectory: $(DEMO_DIR)/demo.png"

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix $(PREFIX)

check: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

check-asan: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Release -DTESSALY_SANITIZE=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(ASAN_DIR) -j$(JOBS)
	cd $(ASAN_DIR) && ctest --output-on-failure -j$(JOBS)

# The input readers and whole runs on arbitrary bytes (libFuzzer, clang).
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Release -DTESSALY_FUZZ=ON -DTESSALY_MPI=OFF \
	  -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(FUZZ_DIR) -j$(JOBS)
	FUZZ_BUILD=$(FUZZ_DIR) tools/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)
