"""The host's training tracker: mode, step status, score histories, neuron modules."""


class ArbTracker:
    def __init__(self, save_name="dendrolab"):
        self.save_name = save_name
        self.reset()

    def reset(self):
        from dendrolab import globals_dendrolab as GDL

        self.neuron_module_vector = []
        self.member_vars = {
            "mode": "n",
            "step_status": 0,
            "switch_mode": GDL.pc.DOING_HISTORY,
            "switch_epochs": [],
            "num_epochs_run": 0,
            "epoch_last_improved": 0,
            "best_scores": [],
            "current_scores": [],
            "best_mean_scores": [],
            "best_mean_score_improved_this_epoch": 0,
            "watch_weights": [],
            "n_accuracies": [],
            "p_accuracies": [],
        }
        # Histories plotted per kind; the accuracy series of n mode sets the plot length.
        self.member_var_types = {"n_accuracies": self.member_vars["n_accuracies"]}

    def add_neuron_module(self, neuron_module):
        self.neuron_module_vector.append(neuron_module)
        self.member_vars["best_scores"].append([])
        self.member_vars["current_scores"].append([])

    # Entry points of the optimizer wrappers: run the add-on over every dendrite module.
    def apply_dg_grads(self):
        from dendrograd import modules_dgr as MDG

        for neuron_module in self.neuron_module_vector:
            MDG.apply_dg_grads(neuron_module.dendrite_module)

    def apply_dg_zero(self):
        from dendrograd import modules_dgr as MDG

        for neuron_module in self.neuron_module_vector:
            MDG.apply_dg_zero(neuron_module.dendrite_module)
