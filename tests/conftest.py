import os

from hypothesis import settings

# CI runs the same generated cases every time; locally every run explores new ones.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")
