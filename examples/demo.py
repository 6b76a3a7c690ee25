"""The main job: for now, load the module and show what it registers."""
import qalto.core as core

print(f"qalto core {core.__version__}: {core.__doc__}")
print("registered:", ", ".join(name for name in dir(core) if not name.startswith("_")))
