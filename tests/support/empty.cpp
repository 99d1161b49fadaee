// Intentionally empty: keeps the support library valid while it has no fixtures.
