"""Which attributes the add-on wrote on the minimal host's objects where the host contract
does not say it writes: each object's own attributes are compared, after every step of the
run, with the contract's list for that object."""
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import schedule
from dendrolab import utils_dendrolab as UDL

# What the add-on may find on each host object: the contract's attributes and what the
# contract says the add-on writes there.
TRACKER_ATTRIBUTES = {"member_vars", "member_var_types", "neuron_module_vector", "save_name"}
CONFIG_ATTRIBUTES = {"values"}
NEURON_ATTRIBUTES = {
    "name", "out_channels", "this_node_index", "dendrite_module", "module_config", "debug_arb_weights",
    "main_module", "processor", "dendrites_to_top", "dendrites_to_dendrites", "num_cycles",
    "candidate_to_top", "current_candidate_to_top",  # written by set_module_p_dg under live learning
}
DENDRITE_ATTRIBUTES = {
    "dendrite_values", "candidate_module", "best_candidate_module", "candidate_processors",
    "dendrites_to_candidates", "best_dendrites_to_candidates_saved", "num_dendrites", "layers", "processors",
    "out_channels", "name", "mode", "training",
    # written by create_extra_tensors
    "current_recurrent_pass_tensors", "current_recurrent_pass_candidate_tensors", "normal_learning_taggers",
    "random_arb_to_candidates",
}
HOLDER_ATTRIBUTES = {
    "layer_name", "device", "initialized", "this_node_index", "this_output_dimensions", "dendrite_storage_shape",
    "full_mult_cache", "math_tuple_cache", "view_tuple_cache", "dendrite_outs", "current_parent_d", "out_channels",
    "current_batch_pearson", "_tuples_py_cache",  # written by the correlation step and the shape cache
}


def module_members(module):
    """Attribute names of an nn.Module beyond those of a bare nn.Module."""
    names = set(vars(module)) - set(vars(nn.Module()))
    for table in ("_parameters", "_buffers", "_modules"):
        names |= set(getattr(module, table))
    return names


class WriteAudit:
    def __init__(self):
        self.found = {}  # "object.attribute" -> the step after which it was first seen
        self.module_globals = {m.__name__: set(vars(m)) for m in (GDL, MDL, UDL)}
        self.config_class = set(vars(GDL.Config))

    def note(self, owner, extra, step):
        for attribute in sorted(extra):
            if attribute.startswith("__") and attribute.endswith("__"):
                continue  # the interpreter's own (copy protocol caches)
            self.found.setdefault(f"{owner}.{attribute}", step)

    def audit(self, step, model):
        """Records every attribute the add-on put where the contract does not say it writes."""
        tracker = GDL.arb_tracker
        self.note("arb_tracker", set(vars(tracker)) - TRACKER_ATTRIBUTES, step)
        self.note("pc", set(vars(GDL.pc)) - CONFIG_ATTRIBUTES, step)
        self.note("Config", set(vars(GDL.Config)) - self.config_class, step)
        for module in (GDL, MDL, UDL):
            self.note(module.__name__, set(vars(module)) - self.module_globals[module.__name__], step)
        registry = set(MDL._tensor_values()) | set(MDL.get_DENDRITE_SINGLE_VALUES()) | {"dendrite_outs",
                                                                                     "current_parent_d"}
        for neuron_module in tracker.neuron_module_vector:
            dendrite_module = neuron_module.dendrite_module
            self.note("neuron module", module_members(neuron_module) - NEURON_ATTRIBUTES, step)
            self.note("dendrite module", module_members(dendrite_module) - DENDRITE_ATTRIBUTES, step)
            for values in dendrite_module.dendrite_values:
                self.note("value holder", set(vars(values)) - HOLDER_ATTRIBUTES - registry, step)
        # This host never freezes a parameter.
        frozen = [p for p in schedule.host_parameters(model) if not p.requires_grad]
        if frozen:
            roles = ", ".join(sorted({getattr(p, "parameter_type", "untagged") for p in frozen}))
            self.note("parameters", {f"requires_grad (False on {len(frozen)} tagged {roles})"}, step)
