import os

from hypothesis import settings

# "ci" keeps the suite quick; HYPOTHESIS_PROFILE=long searches much harder.
settings.register_profile("ci", deadline=None)
settings.register_profile("long", deadline=None, max_examples=5000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
