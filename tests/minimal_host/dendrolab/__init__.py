"""A host package built from the add-on's host contract alone: only the getters, objects and
functions the contract lists, plain lists where it says list. Used by test_minimal_host.py to
show that the add-on runs inside any host that honours the contract, not only inside ours."""
