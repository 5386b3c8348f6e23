"""What the local HTTP servers share: the loopback guard, and the headless browser that shows pages."""
