# Front door. `make demo` runs the main job, `make test` runs every test (installing what it needs).
.PHONY: demo test bench deps native windows release clean

JOBS ?= $(shell nproc)

deps:
	@tests/install-deps.sh

test: deps
	@tests/run-all.sh

release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j$(JOBS) >/dev/null

demo: release
	@examples/demo.sh build/release

bench: release
	@bench/run.sh build/release

clean:
	rm -rf build
