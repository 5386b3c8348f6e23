"""The agent's side of a decision, as live_pilot takes it for a window: each block's greedy action
and confidence, kept when the confidence passes the threshold. The rule that picks one of the kept
candidates is live_pilot's own get_conservative_prediction, applied once the module is imported."""
import numpy as np

from corvane.facts import CONFIDENCE_THRESHOLD


def block_candidate(q):
    """(greedy action, confidence) of one block's Q-values, written as NumPy computes them: the
    margin of the best min-max normalised value over the mean of the others."""
    q = (q - np.min(q)) / (np.max(q) - np.min(q) + 1e-6)
    others = q[q != np.max(q)]
    return int(np.argmax(q)), float(np.max(q) - np.mean(others)) if len(others) else 0


def conservative_choice(predictions, confidences, threshold=0.5):
    """live_pilot's rule over the kept blocks written plainly (among near-best candidates, the least
    confident), for a host that cannot import live_pilot: importing it opens the board."""
    if not confidences:
        return None
    best = max(confidences)
    close = [i for i, c in enumerate(confidences) if best - c <= threshold]
    if len(close) > 1:
        return predictions[min(close, key=lambda i: confidences[i])]
    return predictions[confidences.index(best)]


def kept_blocks(blocks, model=None, q_values=None):
    """(predictions, confidences, Q-values) of a window's blocks as live_pilot keeps them: each
    block's greedy action, confidence and Q-values when its confidence passes the threshold, in
    block order. The Q-values are the agent's for the scaled `blocks`, or given as `q_values`."""
    import torch

    if q_values is None:
        with torch.no_grad():
            q_values = [model.q_net(model.q_net.obs_to_tensor(np.asarray(b)[None])[0])[0].numpy() for b in blocks]
    kept = [(*block_candidate(q), q) for q in q_values]
    kept = [k for k in kept if k[1] > CONFIDENCE_THRESHOLD]
    return [a for a, _, _ in kept], [c for _, c, _ in kept], [q for _, _, q in kept]


def candidates(blocks, model=None, q_values=None):
    """(predictions, confidences) of a window's kept blocks (see kept_blocks)."""
    return kept_blocks(blocks, model, q_values)[:2]


def held_out_candidates(model, forge):
    """((predictions, confidences), class) of every held-out epoch of a trainer after
    process_epochs, from its blocks (one per CSP filter, stored next to each other)."""
    per_epoch = len(forge.csp_filter_objects)
    blocks = forge.X_test.reshape(-1, per_epoch, *forge.X_test.shape[1:])
    classes = forge.y_test[::per_epoch]
    return [(candidates(b, model), int(c)) for b, c in zip(blocks, classes)]


def train_on_training_items(model, forge):
    """Points the agent setup_training built at the training items alone, so that the held-out
    epochs stay unseen (setup_training's environment serves training and test items together)."""
    from policy_forge import Plasticity

    model.set_env(Plasticity(images_per_episode=1, dataset=(forge.X_train, forge.y_train), random=True,
                             ncomp=forge.ncomp, global_shape_length=forge.GLOBAL_SHAPE_LENGTH,
                             n_actions=model.action_space.n))
