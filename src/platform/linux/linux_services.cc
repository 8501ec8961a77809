// Placeholder translation unit; the Linux services land beside it.
