"""The demo: a local identity provider and a host application with the plug-in.

Development and test tooling only; never part of the plug-in's wheel.
"""
