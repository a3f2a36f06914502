# Front door. `make demo` runs the main job, `make test` runs every test (installing what it needs).
.PHONY: demo test bench deps native windows windows-tools release clean

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

bench: release windows-tools
	@bench/run.sh build/release

clean:
	rm -rf build
