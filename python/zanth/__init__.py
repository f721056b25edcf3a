"""Companions of the native `zanth_vec` store: readable filters, a command line, framework
integrations. Heavy dependencies live in optional extras; importing this package needs NumPy only.

- `zanth.filters`: filter trees built with Exact, Range, &, |, ~ or parsed from text.
- `zanth.cli` (`zanth` / `python -m zanth`, extra `cli`): stats, verify and copy a store on disk.
- `zanth.langchain` (extra `langchain`): ZanthVectorStore, a LangChain vector store.
"""
