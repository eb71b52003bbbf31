-- Fills a results schema to 100,000 rows from the six results uploaded
-- through the server first (one per CPU name): every tenth row on the
-- fourth one's processor (10,000 results), the others spread over a few
-- thousand processors, scores 0.5 to 1.5 times the seed's. Used by the
-- PostgreSQL benchmarks of the list and the processor pages.
CREATE TEMP TABLE seeds AS SELECT row_number() OVER (ORDER BY seq) - 1 AS k, * FROM qm_results;
INSERT INTO qm_results (id, uploaded_at, cpu, model, operating_system, compiler, architecture, cores, threads, label,
                        listed, flags, processor_key, score_raw_multi, score_raw_single, score_real_multi,
                        score_real_single, score_multi, score_single, claim_hash, content_hash, document)
SELECT 'bench' || i, 1700000000 + i, CASE WHEN i % 10 = 0 THEN s.cpu ELSE s.cpu || ' #' || (i % 1000) END,
       s.model, s.operating_system, s.compiler, s.architecture, s.cores, s.threads, '', true, 0,
       CASE WHEN i % 10 = 0 THEN s.processor_key ELSE s.processor_key || ' #' || (i % 1000) END,
       s.score_raw_multi * m, s.score_raw_single * m, s.score_real_multi * m, s.score_real_single * m,
       s.score_multi * m, s.score_single * m, sha256(('claim' || i)::bytea), sha256(('content' || i)::bytea), s.document
FROM generate_series(6, 99999) i
CROSS JOIN LATERAL (SELECT 0.5 + (i * 7919 % 1000) / 1000.0 AS m) f
JOIN seeds s ON s.k = CASE WHEN i % 10 = 0 THEN 3 ELSE i % 6 END;
INSERT INTO qm_figures (seq, suite, pass, test, value)
SELECT r.seq, f.suite, f.pass, f.test, f.value FROM qm_results r
JOIN qm_figures f ON f.seq = (SELECT min(seq) FROM seeds) WHERE r.seq > (SELECT max(seq) FROM seeds);
DO $$ BEGIN
    IF to_regclass('qm_stale_marks') IS NOT NULL THEN
        INSERT INTO qm_stale_marks (processor_key) SELECT DISTINCT processor_key FROM qm_results;
    END IF;
END $$;
VACUUM ANALYZE;
