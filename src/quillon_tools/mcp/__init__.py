"""The assistant interface: `quillon mcp DIR...`, a Model Context Protocol
server whose read-only tools are Quillon's answers over the logs under the
folders given (`server`), which paths it may read (`folders`), the answers
as JSON (`answers`) and SQL over a converted dataset (`sql`). Needs the
`mcp` extra: the mcp package and DuckDB."""
