"""velmora: pricing of OTC equity options and structured notes on China A-share underlyings.

Each product lives in its own module and is imported from there, e.g.
``from velmora.vanilla import VanillaOption``.  Importing the package itself loads
nothing else: in particular the Monte Carlo sample pool (``velmora.normdraw``) is
built only when a module that needs it is imported.
"""

__version__ = "0.1.0"
