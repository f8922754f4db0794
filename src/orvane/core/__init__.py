"""Native extension modules of orvane: the back-test engine, the trade recorder and a text helper."""
