"""The commands: `quillon` with one subcommand per job, and `quillon-dump`,
the single command with mode flags that came first."""
