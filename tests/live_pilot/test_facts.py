"""The host side's statement of the live decoder's facts is the module's own."""
from corvane import facts


def test_stated_facts_are_the_modules(live_pilot):
    ring = live_pilot.eeg_buffer
    assert (live_pilot.num_channels, live_pilot.buffer_size, live_pilot.window_size, live_pilot.samples_per_read,
            ring.step_size) == (len(facts.ELECTRODES), facts.LIVE_BUFFER, facts.LIVE_WINDOW, facts.LIVE_WINDOW,
                                facts.LIVE_STEP)
    commands = [live_pilot.map_action_to_command(action) for action in range(len(facts.CLASS_ORDER))]
    assert commands == [letter for _, letter in facts.CLASS_COMMANDS] + [facts.STOP_COMMAND]
    assert live_pilot.scaler.n_features_in_ == facts.FEATURE_ROW_LENGTH
