# Metadata lives in setup.cfg. There is deliberately no pyproject.toml: with
# one, pip builds in an isolated environment and downloads setuptools first,
# which fails on machines without network; without it, pip builds with the
# system's setuptools and wheel.
from setuptools import setup

setup()
