"""SAML 2.0 single sign-on for velmora: the service-provider side.

The work is done by the extension modules ``velmora_saml.saml`` and
``velmora_saml.views``; this package file only hosts the Pyramid
``includeme`` hook.
"""
