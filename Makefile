# The two entry points of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
RELEASE := build/release
TESTING := build/test
DEMO := build/demo

PREFIX ?= /usr/local

.PHONY: run test bench deps release install

deps:
	./scripts/install-deps

release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DQUELBY_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS)

$(DEMO)/.done: | release
	$(RELEASE)/tools/quelby-phantom --demo $(DEMO)
	touch $@

run: release $(DEMO)/.done
	cd $(DEMO) && ../../$(RELEASE)/src/app/quelby

test: deps
	cmake -S . -B $(TESTING) -DCMAKE_BUILD_TYPE=Debug -DQUELBY_SANITIZE=ON
	cmake --build $(TESTING) -j $(JOBS)
	cd $(TESTING) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

install: release
	cmake --install $(RELEASE) --prefix $(PREFIX)

bench:
	./scripts/install-deps --bench
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQUELBY_TESTS=OFF -DQUELBY_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@echo "Benchmarks are in build/bench/bench/"
