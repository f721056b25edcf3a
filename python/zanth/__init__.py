"""Companions of the native `zanth_vec` store: readable filters, a command line, framework
integrations. Heavy dependencies live in optional extras; importing this package needs NumPy only."""
