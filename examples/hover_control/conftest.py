# The emulated bench as a fixture (orvaemu_bench) for the tests.
pytest_plugins = ["orvaemu.pytest_plugin"]
