# Front door. `make demo` runs the main job, `make test` runs every test (installing what it needs).
.PHONY: demo test bench dist deps native windows windows-tools release clean

JOBS ?= $(shell nproc)

deps:
	@tests/install-deps.sh

test: deps
	@tests/run-all.sh

release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j$(JOBS) >/dev/null

# The updater and the driver that walks it, for the demo and the benchmark: the windows build's
# two programs only, not its tests.
windows-tools: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j$(JOBS) --target update wizard_driver >/dev/null

demo: release windows-tools
	@examples/demo.sh build/release build/windows

# The release archive, build/dist/updater-<version>.zip: the updater stub and updpack for Windows
# and Linux (tools/dist/make_dist.py says what goes in).
dist: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j$(JOBS) --target updpack >/dev/null
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j$(JOBS) --target update updpack >/dev/null
	@python3 tools/dist/make_dist.py build/release build/windows build/dist

bench: release windows-tools
	@tests/install-deps.sh nsis
	@bench/run.sh build/release

clean:
	rm -rf build
