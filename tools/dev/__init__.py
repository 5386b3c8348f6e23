"""Development tools: the type-stub writer and the browser client."""
