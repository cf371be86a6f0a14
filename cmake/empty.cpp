// Intentionally empty: keeps every object library non-empty.
