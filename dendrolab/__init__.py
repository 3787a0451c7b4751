"""dendrolab: the host package that wraps PyTorch layers into neuron modules.

It owns the configuration (`globals_dendrolab.pc`), the training tracker
(`globals_dendrolab.arb_tracker`), the neuron/dendrite modules and a few utilities,
and calls the dendrograd add-on at fixed points of the training schedule.
"""
