// Every name by which the add-on reaches into its host, in one place: the configuration's
// getters, the attributes of the tracker, neuron modules, dendrite modules and value
// holders, the keys of the tracker's member_vars and the host modules' functions. Code
// elsewhere writes host::names::dendrite_values(), never the literal.
#pragma once

#include "host/python.h"

// Getters of GDL.pc that every host provides.
#define DGR_REQUIRED_GETTERS(X)                                                                         \
  X(get_verbose) X(get_extra_verbose) X(get_silent) X(get_dpp_verbose) X(get_doing_thing)               \
  X(get_learn_dendrites_live) X(get_default_random_arb_to_candidates) X(get_candidate_graph_mode)       \
  X(get_dendrite_graph_mode) X(get_dendrite_learn_mode) X(get_no_backward_workaround)                   \
  X(get_debugging_memory_leak) X(get_debugging_backwards_nan) X(get_fixed_input_sizes)                  \
  X(get_correlations_by_mean) X(get_normalized_covariance) X(get_running_average_dg)                    \
  X(get_dendrite_update_mode) X(get_cap_at_n) X(get_doing_mean_best) X(get_graphing_current_scores)     \
  X(get_count_training_params) X(get_using_safe_tensors) X(get_weight_tying_experimental)               \
  X(get_global_candidates) X(get_initial_correlation_batches) X(get_p_epochs_to_switch)                 \
  X(get_arb_improvement_threshold) X(get_arb_improvement_threshold_raw) X(get_candidate_grad_clipping)  \
  X(get_device) X(get_d_type) X(get_arb_forward_function) X(get_module_names_to_not_save)               \
  X(get_modules_to_track)

// Getters a host may leave out; the add-on then uses the value named in settings.h.
#define DGR_OPTIONAL_GETTERS(X)                                                                      \
  X(get_correlation_average_factor) X(get_freeze_network_in_p_mode) X(get_p_patience_by_best_candidate) \
  X(get_cap_at_last_n_phase) X(get_mean_best_over_candidates) X(get_snapshot_candidates_per_neuron)    \
  X(get_correlation_scores_per_epoch)

// Attributes of the host's objects and modules, and the keys of member_vars.
#define DGR_HOST_ATTRIBUTES(X)                                                                           \
  /* globals module and tracker */                                                                      \
  X(pc) X(arb_tracker) X(member_vars) X(member_var_types) X(neuron_module_vector) X(save_name)          \
  X(apply_dg_grads) X(apply_dg_zero) X(short_epoch_warned) X(distributed_world_size) X(DOING_HISTORY)  \
  /* member_vars keys */                                                                                \
  X(mode) X(step_status) X(switch_mode) X(switch_epochs) X(num_epochs_run) X(epoch_last_improved)       \
  X(best_scores) X(current_scores) X(best_mean_scores) X(best_mean_score_improved_this_epoch)            \
  X(watch_weights) X(n_accuracies) X(p_accuracies)                                                      \
  /* neuron module */                                                                                   \
  X(name) X(out_channels) X(this_node_index) X(dendrite_module) X(module_config) X(debug_arb_weights)   \
  X(main_module) X(processor) X(dendrites_to_top) X(dendrites_to_dendrites) X(num_cycles)               \
  X(candidate_to_top) X(current_candidate_to_top) X(view_tuple_for)                                     \
  /* dendrite module */                                                                                 \
  X(dendrite_values) X(candidate_module) X(best_candidate_module) X(candidate_processors)               \
  X(dendrites_to_candidates) X(best_dendrites_to_candidates_saved) X(num_dendrites) X(layers)           \
  X(processors) X(training) X(load_tagger_values) X(current_recurrent_pass_tensors)                     \
  X(current_recurrent_pass_candidate_tensors) X(normal_learning_taggers) X(random_arb_to_candidates)    \
  /* dendrite value holder */                                                                           \
  X(layer_name) X(device) X(initialized) X(this_output_dimensions) X(dendrite_storage_shape)            \
  X(full_mult_cache) X(math_tuple_cache) X(view_tuple_cache) X(dendrite_outs) X(current_parent_d)       \
  X(_tuples_py_cache) X(current_batch_pearson) X(normal_pass_max_mean_act) X(parent_max_mean_act)      \
  /* the value registry's tensors and single values */                                                  \
  X(prev_dendrite_candidate_correlation) X(covariance_for_parallel) X(best_score) X(previous_best_score) \
  X(prev_dendrite_candidate_average) X(main_grad_average_for_scaling)                                   \
  X(candidate_grad_average_for_scaling) X(indexes_of_best) X(nodes_best_improved_this_epoch)            \
  X(nodes_improved_any) X(parents_average_d_vector) X(normal_pass_average_d) X(epoch_start_best_score)  \
  X(prev_dendrite_candidate_pearson) X(best_pearson_correlation) X(breaking) X(locked)                  \
  X(best_score_improved_this_epoch) X(running_scalar)                                                   \
  /* host modules' functions and caches */                                                              \
  X(ARBNeuronModule) X(get_DENDRITE_SINGLE_VALUES) X(get_DENDRITE_REINIT_VALUES)                        \
  X(_cached_dendrite_tensor_values) X(_cached_dendrite_tensor_dg_state) X(_cached_dendrite_single_values) \
  X(_cached_dendrite_single_dg_state) X(deep_copy_arb) X(load_net_from_dict)                            \
  X(save_model_with_weight_tying) X(load_model_with_weight_tying) X(string_to_tensor)

namespace dgr::host::names {
#define DGR_DEFINE_HOST_NAME(id) \
  inline py::handle id() { return DGR_STR(#id); }
DGR_REQUIRED_GETTERS(DGR_DEFINE_HOST_NAME)
DGR_OPTIONAL_GETTERS(DGR_DEFINE_HOST_NAME)
DGR_HOST_ATTRIBUTES(DGR_DEFINE_HOST_NAME)
#undef DGR_DEFINE_HOST_NAME
}  // namespace dgr::host::names
