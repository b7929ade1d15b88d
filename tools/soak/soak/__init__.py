"""The soak: a throwaway world, ordinary dispatch work, injected faults, and
checks against an independent model of the documented rules."""
