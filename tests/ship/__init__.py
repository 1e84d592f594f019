"""The package check's own tests: the condition grammar case by case, and the
broken packages it must reject."""
