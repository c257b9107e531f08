"""Manhattan routers of kelvane (extension modules live beside this file)."""
