"""Per-gate radar kernels: dealiasing, gate geometry and box statistics (multithreaded)."""
