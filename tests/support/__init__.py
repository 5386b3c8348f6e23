"""Helpers shared by the tests and benchmarks only: loopback and faulty servers, labelled recordings,
trained artefacts, live-style decoding, reference feature code. The demo never imports them."""
