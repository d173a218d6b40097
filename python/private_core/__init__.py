"""Native core of the Tavrix market-data client."""
