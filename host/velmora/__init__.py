"""A small stand-in for the velmora host application.

Only what the SAML plug-in needs of its host, for the tests and the demo.
It lives outside the plug-in's package and is never installed with it, so it
can never shadow a real host.
"""
