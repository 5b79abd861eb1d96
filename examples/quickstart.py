import random, korvane
korvane.example("binary-choice").save("binary.mdb", overwrite=True)   # define (or build a korvane.Model)
rng = random.Random(1)
with korvane.open_run("binary.mdb", seed=1, subjects=100) as run:      # the model runs in this process
    for s in range(run.batch):
        (run.start if s == 0 else run.reset)("I1")
        for t in range(100):
            with run.together():
                run.alternative("I1", Option=1)                        # safe: 3 points
                run.alternative("I1", Option=2)                        # risky: 4 points or 0
            choice = run.decision()["Choice"]
            run.feedback("I1", 3 if choice == 1 else (4 if rng.random() < 0.8 else 0))
    run.stop("I1")
trials = run.trials()                                                   # pandas DataFrame, one row per cue
run.plot(value=2).figure.savefig("risky.png")                           # P(risky) per trial
