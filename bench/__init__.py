"""Benchmarks of dir_watcher and corvamire_version_matcher against their peers.

Run from the repository root: PYTHONPATH=build/python:. python2.7 -m bench.run
"""
